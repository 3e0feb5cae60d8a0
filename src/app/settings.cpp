#include "app/settings.h"

#include <cerrno>

#include "app/name_template.h"
#include "platform/errors.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace tessel {
namespace {

constexpr std::string_view kConfigSection = "Config";
constexpr std::string_view kIncludeSection = "Files";
constexpr std::string_view kExcludeSection = "FilesNotInclude";
constexpr std::string_view kZipNameKey = "ZipName";
constexpr std::string_view kVersionKey = "Version";
constexpr std::string_view kLevelKey = "Level";
constexpr std::string_view kIncludeSubDirsKey = "IncludeSubDirs";
constexpr std::string_view kStorePathsKey = "StorePaths";
constexpr std::string_view kZipActionKey = "ZipAction";

constexpr std::string_view kCurrentVersion = "1.3";
// Files written before the month token was renamed carry this version (or
// none at all) and spell the month "%MM%".
constexpr std::string_view kFirstVersion = "1.0";
constexpr std::string_view kOldMonthToken = "%MM%";
constexpr std::string_view kMonthToken = "%my%";

constexpr std::string_view kTemplateFolder = "BackUp";
constexpr std::string_view kDefaultTemplate = "%yyyy%%my%%dd%%hh%%mm%%ss%.zip";
constexpr std::string_view kFirstVersionTemplate = "%yyyy%%MM%%dd%%hh%%mm%%ss%.zip";

constexpr int32_t kDefaultLevel = 6;
constexpr int32_t kDefaultReplaceMode = 2;
constexpr int32_t kLastReplaceMode = 3;

constexpr const char* kUnableToWrite = "Unable to write to ";

std::string TemplateInHome(std::string_view name) {
  return JoinPath(JoinPath(HomeFolder(), kTemplateFolder), name);
}

// Both in one pass over the section, so that a job of many thousands of
// masks loads and saves in time proportional to its size.
void LoadMasks(const ProfileFile& profile, std::string_view section, MaskList& list) {
  const auto entries = profile.KeyValues(section);
  list.Items.reserve(entries.size());
  for (const auto& [key, value] : entries) list.Append(value);
}

// Clears a mask section and writes the list under "1", "2", ...
void SaveMasks(ProfileFile& profile, std::string_view section, MaskList& list) {
  std::vector<std::pair<std::string, std::string>> entries;
  entries.reserve(list.Items.size());
  for (size_t i = 0; i < list.Items.size(); ++i) entries.emplace_back(std::to_string(i + 1), list.Items[i]);
  profile.ReplaceKeys(section, entries);
  list.Current = 0;
}

[[noreturn]] void ThrowUnableToWrite(const std::string& path) { throw Error(kUnableToWrite + path); }

}  // namespace

void MaskList::Append(std::string_view text) {
  Items.emplace_back(Utf8Prefix(text, kMaxMaskLength));
  Current = Items.size() - 1;
}

void MaskList::Clear() {
  Items.clear();
  Current = 0;
}

size_t MaskList::Count() const { return Items.size(); }

std::string DefaultFileNameMask() { return TemplateInHome(kDefaultTemplate); }

int32_t NormalizeReplaceMode(int32_t mode) {
  return mode < 0 || mode > kLastReplaceMode ? kDefaultReplaceMode : mode;
}

void LoadSettings(JobSettings& job, const std::string& path) {
  job.IncludeMasks.Clear();
  job.ExcludeMasks.Clear();
  const ProfileFile profile = ProfileFile::Load(path);

  const std::string version = profile.ReadString(kConfigSection, kVersionKey, kFirstVersion);
  if (version == kFirstVersion) {
    job.FileNameMask = ReplaceAll(profile.ReadString(kConfigSection, kZipNameKey, TemplateInHome(kFirstVersionTemplate)),
                                  kOldMonthToken, kMonthToken);
  } else {
    job.FileNameMask = profile.ReadString(kConfigSection, kZipNameKey, DefaultFileNameMask());
  }
  job.Level = profile.ReadInteger(kConfigSection, kLevelKey, kDefaultLevel);
  job.IncludeSubDirs = profile.ReadBool(kConfigSection, kIncludeSubDirsKey, true);
  job.StorePaths = profile.ReadBool(kConfigSection, kStorePathsKey, true);
  job.ReplaceMode = NormalizeReplaceMode(profile.ReadInteger(kConfigSection, kZipActionKey, kDefaultReplaceMode));
  LoadMasks(profile, kIncludeSection, job.IncludeMasks);
  LoadMasks(profile, kExcludeSection, job.ExcludeMasks);
}

void SaveSettings(JobSettings& job, const std::string& path) { SaveSettings(job, path, WriteFunction{}); }

void SaveSettings(JobSettings& job, const std::string& path, const WriteFunction& write_function) {
  if (path.empty()) ThrowUnableToWrite(path);
  // Keep what the file holds besides the job; a file that exists but cannot
  // be read is not overwritten with a job-only image.
  std::string image;
  if (!ReadWholeFile(path, image) && errno != ENOENT) ThrowUnableToWrite(path);
  ProfileFile profile = ProfileFile::Parse(image);

  profile.WriteString(kConfigSection, kZipNameKey, job.FileNameMask);
  profile.WriteString(kConfigSection, kVersionKey, kCurrentVersion);
  profile.WriteInteger(kConfigSection, kLevelKey, job.Level);
  profile.WriteBool(kConfigSection, kIncludeSubDirsKey, job.IncludeSubDirs);
  profile.WriteBool(kConfigSection, kStorePathsKey, job.StorePaths);
  job.ReplaceMode = NormalizeReplaceMode(job.ReplaceMode);
  profile.WriteInteger(kConfigSection, kZipActionKey, job.ReplaceMode);
  SaveMasks(profile, kIncludeSection, job.IncludeMasks);
  SaveMasks(profile, kExcludeSection, job.ExcludeMasks);

  if (!MakeFolders(DirName(path))) ThrowUnableToWrite(path);
  try {
    ReplaceFileAtomically(path, profile.Serialize(), write_function);
  } catch (const EHostError&) {
    ThrowUnableToWrite(path);
  }
}

}  // namespace tessel
