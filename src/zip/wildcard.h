#pragma once
// The engine's wildcard patterns for include lines, ExcludeList and
// NoCompressList. Letters A-Z match a-z; every other character, Cyrillic
// included, must match exactly. The unit is the UTF-8 character.
//   ?        any one character
//   *        any run of characters (the whole pattern "*" also matches "")
//   <abc>    one character of the set; "<a-z>" a range by code point;
//            "<!...>" or "<^...>" one character outside the set
//   *<...>   a run of characters all in (or, negated, all outside) the set
// A pattern that ends inside a bracket, an empty bracket "<>" and a range
// without an end never match.
#include <string>
#include <string_view>
#include <vector>

namespace tessel {

// True when text holds any of the wildcard characters * ? < > |.
bool HasWildcards(std::string_view text);

// Whether the whole text matches the pattern. After the text is used up only
// a single remaining "*" can match ("a**" does not match "a", "a*" does); a
// star followed by question marks that use up the rest of the text matches
// ("a*?" matches "ab", "*?" one character). Allocates nothing unless the
// pattern has a star and text and pattern are very long.
bool WildcardMatch(std::string_view pattern, std::string_view text);

// The exclusion test of a pattern list: true when any pattern matches. A
// pattern that contains "/" is matched against the whole path, any other
// against the path's last component (the file name).
bool MatchesAnyPattern(const std::vector<std::string>& patterns, std::string_view path);

}  // namespace tessel
