#include "app/settings.h"

#include <algorithm>
#include <cerrno>
#include <unordered_map>
#include <unordered_set>

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
constexpr std::string_view kThreadsKey = "Threads";
constexpr std::string_view kVerifyKey = "Verify";
constexpr std::string_view kKeepArchivesKey = "KeepArchives";

// The version of the job file's layout, which decides the migration below;
// it stays as it is when only the program's version changes.
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

constexpr const char* kUnableToWrite = "Unable to write to ";
constexpr const char* kNotAJobFileStart = "Файл ";
constexpr const char* kNotAJobFileEnd = " не является файлом задания; он не перезаписывается";
constexpr const char* kCutValuesStart = "В файле задания ";
constexpr const char* kCutValuesEnd =
    " есть значения длиннее допустимого. Обрезанными они не используются: задание не выполняется, "
    "пока они не исправлены, а файл хранит их целиком.";
constexpr const char* kLongerThan = ": длиннее ";
constexpr const char* kCharacters = " символов";
constexpr const char* kAndMore = "и ещё ";
// The cut values that a warning names one by one; the rest are counted.
constexpr size_t kCutValuesNamed = 10;

std::string TemplateInHome(std::string_view name) {
  return JoinPath(JoinPath(HomeFolder(), kTemplateFolder), name);
}

// A value cut to limit characters; a value that had to be cut is noted in the
// job with its whole text.
std::string CutToLimit(std::string_view section, std::string_view key, std::string whole, size_t limit,
                       JobSettings& job) {
  std::string_view cut = Utf8Prefix(whole, limit);
  if (cut.size() == whole.size()) return whole;
  job.CutValues.push_back(CutValue{std::string(section), std::string(key), limit, std::string(cut), std::move(whole)});
  return job.CutValues.back().CutText;
}

// LoadMasks and SaveMasks each make one pass over the section, so that a job
// of many thousands of masks loads and saves in time proportional to its size.
void LoadMasks(const ProfileFile& profile, std::string_view section, MaskList& list, JobSettings& job) {
  auto entries = profile.KeyValues(section);
  list.Items.reserve(entries.size());
  for (auto& [key, value] : entries) {
    list.Append(CutToLimit(section, key, std::move(value), std::min(kMaxMaskLength, kMaxProfileValue), job));
  }
}

// The cut values of a section that the job still holds, by their cut text:
// each cut text with the whole texts it stands for, in file order.
struct WholeTexts {
  std::vector<const std::string*> Texts;
  size_t Next = 0;
};
std::unordered_map<std::string_view, WholeTexts> CutTextsOf(const JobSettings& job, std::string_view section) {
  std::unordered_map<std::string_view, WholeTexts> cut;
  for (const CutValue& value : job.CutValues) {
    if (value.Section == section) cut[value.CutText].Texts.push_back(&value.WholeText);
  }
  return cut;
}

// Clears a mask section and writes the list under "1", "2", ... An entry that
// is still a value cut on loading is written whole.
void SaveMasks(ProfileFile& profile, std::string_view section, MaskList& list, const JobSettings& job) {
  auto cut = CutTextsOf(job, section);
  std::vector<std::pair<std::string, std::string>> entries;
  entries.reserve(list.Items.size());
  for (size_t i = 0; i < list.Items.size(); ++i) {
    const std::string* text = &list.Items[i];
    if (!cut.empty()) {
      if (auto found = cut.find(*text); found != cut.end() && found->second.Next < found->second.Texts.size()) {
        text = found->second.Texts[found->second.Next++];
      }
    }
    entries.emplace_back(std::to_string(i + 1), *text);
  }
  profile.ReplaceKeys(section, entries);
  list.Current = 0;
}

const CutValue* CutZipName(const JobSettings& job) {
  for (const CutValue& value : job.CutValues) {
    if (value.Section == kConfigSection && value.Key == kZipNameKey) return &value;
  }
  return nullptr;
}

bool HoldsNul(std::string_view image) { return image.find('\0') != std::string_view::npos; }

std::string NotAJobFileText(const std::string& path) { return kNotAJobFileStart + path + kNotAJobFileEnd; }

// The cut values whose cut text the job still holds.
std::vector<const CutValue*> StillCut(const JobSettings& job) {
  std::vector<const CutValue*> still;
  if (job.CutValues.empty()) return still;
  std::unordered_set<std::string_view> include(job.IncludeMasks.Items.begin(), job.IncludeMasks.Items.end());
  std::unordered_set<std::string_view> exclude(job.ExcludeMasks.Items.begin(), job.ExcludeMasks.Items.end());
  for (const CutValue& value : job.CutValues) {
    const bool held = value.Section == kIncludeSection   ? include.contains(value.CutText)
                      : value.Section == kExcludeSection ? exclude.contains(value.CutText)
                                                         : job.FileNameMask == value.CutText;
    if (held) still.push_back(&value);
  }
  return still;
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

int32_t NormalizeThreads(int32_t threads) {
  if (threads < 0) return kDefaultThreads;
  return std::min(threads, kMaxThreads);
}

void LoadSettings(JobSettings& job, const std::string& path) {
  job.IncludeMasks.Clear();
  job.ExcludeMasks.Clear();
  job.CutValues.clear();
  std::string image;
  if (!ReadWholeFile(path, image)) image.clear();
  job.NotAJobFile = HoldsNul(image);
  const ProfileFile profile = ProfileFile::Parse(image);

  // A version text is only ever compared whole.
  const std::string version = profile.ReadWholeString(kConfigSection, kVersionKey, kFirstVersion);
  std::string name;
  if (version == kFirstVersion) {
    name = ReplaceAll(profile.ReadWholeString(kConfigSection, kZipNameKey, TemplateInHome(kFirstVersionTemplate)),
                      kOldMonthToken, kMonthToken);
  } else {
    name = profile.ReadWholeString(kConfigSection, kZipNameKey, DefaultFileNameMask());
  }
  job.FileNameMask = CutToLimit(kConfigSection, kZipNameKey, std::move(name), kMaxProfileValue, job);
  job.Level = profile.ReadInteger(kConfigSection, kLevelKey, kDefaultLevel);
  job.IncludeSubDirs = profile.ReadBool(kConfigSection, kIncludeSubDirsKey, true);
  job.StorePaths = profile.ReadBool(kConfigSection, kStorePathsKey, true);
  job.ReplaceMode = NormalizeReplaceMode(profile.ReadInteger(kConfigSection, kZipActionKey, kDefaultReplaceMode));
  job.Threads = NormalizeThreads(profile.ReadInteger(kConfigSection, kThreadsKey, kDefaultThreads));
  job.Verify = profile.ReadBool(kConfigSection, kVerifyKey, true);
  job.KeepArchives = profile.ReadInteger(kConfigSection, kKeepArchivesKey, 0);
  LoadMasks(profile, kIncludeSection, job.IncludeMasks, job);
  LoadMasks(profile, kExcludeSection, job.ExcludeMasks, job);
}

std::string JobFileWarning(const JobSettings& job, const std::string& path) {
  if (job.NotAJobFile) return NotAJobFileText(path);
  const std::vector<const CutValue*> still = StillCut(job);
  if (still.empty()) return {};
  std::string text = kCutValuesStart + path + kCutValuesEnd;
  for (size_t i = 0; i < still.size() && i < kCutValuesNamed; ++i) {
    text += "\n[" + still[i]->Section + "] " + still[i]->Key + kLongerThan + std::to_string(still[i]->Limit) +
            kCharacters;
  }
  if (still.size() > kCutValuesNamed) text += "\n" + (kAndMore + std::to_string(still.size() - kCutValuesNamed));
  return text;
}

void CheckJobFile(const JobSettings& job, const std::string& path) {
  std::string warning = JobFileWarning(job, path);
  if (!warning.empty()) throw Error(std::move(warning));
}

void SaveSettings(JobSettings& job, const std::string& path) { SaveSettings(job, path, WriteFunction{}); }

void SaveSettings(JobSettings& job, const std::string& path, const WriteFunction& write_function) {
  if (path.empty()) ThrowUnableToWrite(path);
  // Keep what the file holds besides the job; a file that exists but cannot
  // be read is not overwritten with a job-only image.
  std::string image;
  if (!ReadWholeFile(path, image) && errno != ENOENT) ThrowUnableToWrite(path);
  if (HoldsNul(image)) throw Error(NotAJobFileText(path));
  ProfileFile profile = ProfileFile::Parse(image);

  const CutValue* cut_name = CutZipName(job);
  profile.WriteString(kConfigSection, kZipNameKey,
                      cut_name != nullptr && job.FileNameMask == cut_name->CutText ? cut_name->WholeText
                                                                                 : job.FileNameMask);
  profile.WriteString(kConfigSection, kVersionKey, kCurrentVersion);
  profile.WriteInteger(kConfigSection, kLevelKey, job.Level);
  profile.WriteBool(kConfigSection, kIncludeSubDirsKey, job.IncludeSubDirs);
  profile.WriteBool(kConfigSection, kStorePathsKey, job.StorePaths);
  job.ReplaceMode = NormalizeReplaceMode(job.ReplaceMode);
  profile.WriteInteger(kConfigSection, kZipActionKey, job.ReplaceMode);
  job.Threads = NormalizeThreads(job.Threads);
  profile.WriteInteger(kConfigSection, kThreadsKey, job.Threads);
  profile.WriteBool(kConfigSection, kVerifyKey, job.Verify);
  profile.WriteInteger(kConfigSection, kKeepArchivesKey, job.KeepArchives);
  SaveMasks(profile, kIncludeSection, job.IncludeMasks, job);
  SaveMasks(profile, kExcludeSection, job.ExcludeMasks, job);

  if (!MakeFolders(DirName(path))) ThrowUnableToWrite(path);
  try {
    ReplaceFileAtomically(path, profile.Serialize(), write_function);
  } catch (const EHostError&) {
    ThrowUnableToWrite(path);
  }
}

}  // namespace tessel
