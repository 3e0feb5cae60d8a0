// Feeds arbitrary bytes to the profile-file reader: every section and key is
// looked up, the image is serialised and parsed again (it must read back to
// the same values, and a file taken as UTF-8 must come back byte for byte),
// a section's keys replaced at once must give the image of key-by-key
// writes, and a key written with a value taken from the input must read back
// as the writer promises.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/profile.h"
#include "platform/text.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool TakenAsUtf8(std::string_view data) {
  for (char c : data) {
    if (static_cast<unsigned char>(c) >= 0x80) return tessel::HasMultiByteUtf8(data);
  }
  return true;
}

// The value that a read returns after a write of value.
std::string ExpectedReadBack(std::string_view value) {
  std::string v(value.substr(0, value.find('\0')));
  for (char& c : v) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return std::string(tessel::Utf8Prefix(v, tessel::kMaxProfileValue));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string_view data(reinterpret_cast<const char*>(bytes), size);
  const tessel::ProfileFile profile = tessel::ProfileFile::Parse(data);
  const std::string image = profile.Serialize();
  if (TakenAsUtf8(data)) Check(image == data);

  const tessel::ProfileFile again = tessel::ProfileFile::Parse(image);
  Check(again.Serialize() == image);
  Check(again.SectionNames() == profile.SectionNames());
  for (const std::string& section : profile.SectionNames()) {
    const std::vector<std::string> keys = profile.KeyNames(section);
    Check(again.KeyNames(section) == keys);
    const auto entries = profile.KeyValues(section);
    Check(entries.size() == keys.size());
    for (size_t i = 0; i < entries.size(); ++i) {
      Check(entries[i].first == keys[i]);
      Check(entries[i].second == profile.ReadWholeString(section, keys[i], {}));
    }
    for (const std::string& key : keys) {
      const std::string value = profile.ReadString(section, key, {});
      Check(value == tessel::Utf8Prefix(profile.ReadWholeString(section, key, {}), tessel::kMaxProfileValue));
      Check(tessel::Utf8Count(value) <= tessel::kMaxProfileValue);
      Check(again.ReadString(section, key, {}) == value);
      Check(again.ReadInteger(section, key, -7) == profile.ReadInteger(section, key, -7));
      Check(again.ReadBool(section, key, true) == profile.ReadBool(section, key, true));
    }
  }

  // Replacing a section's keys at once must give the image of deleting and
  // writing them key by key, for every section of the input.
  for (const std::string& section : profile.SectionNames()) {
    const std::vector<std::pair<std::string, std::string>> replacement = {{"1", section}, {"2", ""}, {"3", " x "}};
    tessel::ProfileFile key_by_key = profile;
    for (const std::string& key : key_by_key.KeyNames(section)) key_by_key.DeleteKey(section, key);
    for (const auto& [key, value] : replacement) key_by_key.WriteString(section, key, value);
    tessel::ProfileFile at_once = profile;
    at_once.ReplaceKeys(section, replacement);
    Check(at_once.Serialize() == key_by_key.Serialize());
  }

  // Write the input's first line as a value under a fixed key, then make sure
  // it and every other key still read as before.
  tessel::ProfileFile edited = profile;
  const std::string_view value = data.substr(0, data.find('\n') == std::string_view::npos ? data.size() : data.find('\n') + 1);
  Check(edited.WriteString("Fuzz", "Value", value));
  const tessel::ProfileFile reread = tessel::ProfileFile::Parse(edited.Serialize());
  if (TakenAsUtf8(edited.Serialize())) {
    Check(reread.ReadString("Fuzz", "Value", {}) == ExpectedReadBack(value));
    for (const std::string& section : profile.SectionNames()) {
      for (const std::string& key : profile.KeyNames(section)) {
        if (tessel::AsciiLower(section) == "fuzz" && tessel::AsciiLower(key) == "value") continue;
        Check(reread.ReadString(section, key, {}) == profile.ReadString(section, key, {}));
      }
    }
  }
  return 0;
}
