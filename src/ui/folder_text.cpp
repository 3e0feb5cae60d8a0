#include "ui/folder_text.h"

#include "platform/paths.h"

namespace tessel {
namespace {

constexpr char kAllFiles[] = "*.*";

}  // namespace

std::string FolderPartOf(std::string_view text) { return DirName(text); }

std::string WithoutTrailingSlash(std::string_view folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.remove_suffix(1);
  return std::string(folder);
}

std::string MaskInFolder(std::string_view mask, std::string_view folder) {
  std::string name = BaseName(mask);
  if (name.empty()) name = kAllFiles;
  return JoinPath(WithoutTrailingSlash(folder), name);
}

std::string MaskForDroppedPath(std::string_view path, bool is_folder) {
  if (!is_folder) return std::string(path);
  return JoinPath(WithoutTrailingSlash(path), kAllFiles);
}

std::string TemplateInFolder(std::string_view templ, std::string_view folder) {
  return JoinPath(WithoutTrailingSlash(folder), BaseName(templ));
}

}  // namespace tessel
