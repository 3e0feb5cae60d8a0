#pragma once
// How a folder chosen in the folder chooser is put into a mask or a template:
// the text keeps its name part and gets the new folder in front of it.
#include <string>
#include <string_view>

namespace tessel {

// The folder part of a mask or template: everything before its last "/"
// ("/" for a name in the root, "" when the text has no "/").
std::string FolderPartOf(std::string_view text);
// A chosen folder as the chooser hands it back: trailing "/" removed, except
// that the root stays "/".
std::string WithoutTrailingSlash(std::string_view folder);
// A list entry moved to folder: its name part kept ("/docs/*.doc" with
// "/work" gives "/work/*.doc"); an entry without a name part becomes
// folder + "/*.*". Exactly one "/" joins them, also for the root.
std::string MaskInFolder(std::string_view mask, std::string_view folder);
// The list entry for a path dropped from a file manager: a folder gives
// folder + "/*.*" (everything in it), a file its own path.
std::string MaskForDroppedPath(std::string_view path, bool is_folder);
// A template moved to folder: its name part (possibly empty) kept.
std::string TemplateInFolder(std::string_view templ, std::string_view folder);

}  // namespace tessel
