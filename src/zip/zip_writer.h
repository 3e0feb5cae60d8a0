#pragma once
// TZipWriter: the zip engine component. It turns the include lines of
// FilesList into a new archive named ZipName, or rebuilds an existing one
// through a temporary archive (update, replace or freshen its entries), and
// reports every file and the progress through events.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/file_system.h"
#include "zip/buffer_stream.h"
#include "zip/header_info.h"
#include "zip/object_list.h"
#include "zip/zip_errors.h"
#include "zip/zip_reader.h"

namespace tessel {

// How the files of an operation meet the entries of an existing archive.
enum TZipAction : uint8_t {
  zaUpdate = 0,   // an entry is rewritten only when its file is newer
  zaReplace = 1,  // every matching entry is rewritten from its file
  zaFreshen = 2,  // like zaUpdate, and only files that already have an entry are taken
};

// What became of an existing entry that matched a file (OnUpdate).
enum TUpdateAction : uint8_t { udReplace = 0, udKeep = 1 };

// Why a file was left out (OnSkippingFile).
enum TSkipReason : uint8_t {
  srNone = 0,
  srDuplicate = 1,   // the archive already holds an entry of the same name
  srOpenFailed = 2,  // the file could not be opened (Retry asks to try again)
  srVanished = 3,    // the file was listed but is gone when its turn comes
  srReadError = 5,   // reading failed in the middle of the file; its entry was dropped
  // An entry of the old archive that cannot be carried over: its copy is
  // damaged (ReasonText kReasonDamagedInOldArchive), or its damaged directory
  // lost it (ReasonText says how). FName is the entry's name.
  srDamaged = 6,
  // The file changed while it was read: its entry holds the bytes read,
  // which may be no version of the file that ever existed (reported, kept).
  srChanged = 7,
};

inline constexpr const char* kMsgCopyErrorCaption = "Ошибка";
inline constexpr const char* kMsgCannotCopyFrom = "Немогу скопировать из ";
inline constexpr const char* kMsgCopyArrow = " -> ";
inline constexpr const char* kReasonVanished = "No such file or directory";
inline constexpr const char* kReasonDuplicate = "Duplicate entry name";
inline constexpr const char* kReasonChangedWhileRead = "изменился во время чтения";
inline constexpr const char* kReasonDamagedInOldArchive = "повреждён в старом архиве";
// The prefix of temporary archive names.
inline constexpr const char* kTempArchivePrefix = "QWX";
// What the lock file of an archive adds to its name ("backup.zip.lock").
inline constexpr const char* kArchiveLockSuffix = ".lock";

class TZipWriter;

// Event types. Each is called only when assigned; the component comes first.
using TStartZipEvent =
    std::function<void(TZipWriter& sender, const std::string& FName, TZipHeaderInfo& ZipHeader,
                       bool& Skip)>;
using TStartZipInfo = std::function<void(TZipWriter& sender, int32_t NumFiles, int64_t TotalBytes,
                                         TEndCentral& EndCentralRecord, bool& StopNow)>;
using TEndZipFileEvent =
    std::function<void(TZipWriter& sender, const std::string& FName, int64_t UncompressedSize,
                       int64_t CompressedSize, int64_t CurrentZipSize)>;
using TZipComplete = std::function<void(TZipWriter& sender, int32_t FileCount)>;
using TFilePercentDone = std::function<void(TZipWriter& sender, int Percent)>;
using TTotalPercentDone = std::function<void(TZipWriter& sender, int Percent)>;
using TNoSuchFileEvent = std::function<void(TZipWriter& sender, const std::string& FName)>;
// ReasonText tells the reason in words (the system's message for a failed
// open or read), so that the caller can report the file.
using TSkippingFile =
    std::function<void(TZipWriter& sender, TSkipReason Reason, const std::string& FName,
                       int32_t FileIndex, bool& Retry, const std::string& ReasonText)>;
using TUpdateEvent =
    std::function<void(TZipWriter& sender, TUpdateAction UDAction, int32_t FileIndex)>;
// The archive is locked by another operation (another run, in this or
// another process); this one waits until it is free.
using TWaitForArchiveEvent = std::function<void(TZipWriter& sender, const std::string& LockPath)>;
// Asked for every file and folder the list build finds, before anything is
// opened: Exclude := true leaves it out, never opened, read or reported.
using TExcludeFileEvent = std::function<void(TZipWriter& sender, const std::string& FName, bool& Exclude)>;
// The finished archive is being read back (Verify): fired with 0 when the
// check begins and then as it advances.
using TVerifyEvent = std::function<void(TZipWriter& sender, int Percent)>;
// The engine's one message box (caption, text): the failed copy of a finished
// temporary archive to the archive's place.
using TShowMessage = std::function<void(const std::string& caption, const std::string& text)>;

class TZipWriter : public TZipReader {
public:
  static constexpr int kDefaultPackLevel = 6;
  static constexpr size_t kStreamBufferSize = 131072;
  static constexpr uint32_t kStoreBlockSize = 32768;
  static constexpr int kMaxThreads = 64;
  static constexpr uint64_t kDefaultWaitingMemoryPerThread = uint64_t{32} << 20;
  static constexpr uint64_t kDefaultWaitingDiskPerThread = uint64_t{512} << 20;

  TZipWriter();
  ~TZipWriter() override;

  // --- properties -------------------------------------------------------
  // Does nothing when the name equals the current one exactly; otherwise the
  // reader's setter runs (it drops the held directory).
  void SetZipName(const std::string& name) override;

  // Base folder of bare names in FilesList and of relative stored paths. A
  // non-empty value gets a trailing "/"; an empty one stays empty.
  const std::string& RootDir() const { return root_dir_; }
  void SetRootDir(const std::string& folder);

  // The include lines of the next operation; emptied when an operation ends.
  std::vector<std::string>& FilesList() { return files_list_; }
  const std::vector<std::string>& FilesList() const { return files_list_; }
  // Copies the lines of another list.
  void SetFilesList(const std::vector<std::string>& lines) { files_list_ = lines; }

  // 0 stores, 1..9 deflate with that level; a value outside 0..9 is kept as
  // given and clamped only when compressing (below 0 stores).
  int PackLevel = kDefaultPackLevel;
  bool Recurse = false;
  TZipAction ZipAction = zaUpdate;
  // Folder for the temporary archive; empty or not an existing folder means
  // the archive's own folder.
  std::string TempPath;
  // Wildcard patterns of files never added, and of files always stored.
  std::vector<std::string> ExcludeList;
  std::vector<std::string> NoCompressList;
  bool AddDirEntriesOnRecurse = false;
  // Files compressed at once: 0 (the default) one per online core, 1 all on
  // the operation's own thread; above kMaxThreads taken as kMaxThreads.
  // Whatever the number, the archive is the same to the byte: the entries
  // are written in the same order with the same contents.
  int Threads = 0;
  // With several threads: how much compressed data made ahead of its turn
  // may wait in memory, per thread; beyond it such data wait in a temporary
  // file beside the temporary archive, up to WaitingDiskPerThread, and beyond
  // that the worker waits.
  uint64_t WaitingMemoryPerThread = kDefaultWaitingMemoryPerThread;
  uint64_t WaitingDiskPerThread = kDefaultWaitingDiskPerThread;
  // There is no archive bit on this host: these two change nothing.
  bool SkipIfArchiveBitNotSet = false;
  bool ResetArchiveBitOnZip = false;
  // Treat an existing archive as empty: nothing is carried over, and the old
  // archive is replaced at the end exactly as in an update (the job's replace
  // mode 0). Stays set until the caller clears it.
  bool DiscardExistingEntries = false;
  // Check what an operation carries over and what it writes: every old entry
  // is inflated and its CRC-32 and sizes checked as it is copied (a damaged
  // one is never copied: its file is read afresh when the operation selects
  // it, else it is left out and reported through OnSkippingFile, srDamaged),
  // and the finished archive is read back whole (VerifyArchive) before it
  // takes the archive's place; a fault there fails the operation with
  // EVerifyFailed and the old archive stays as it was.
  bool Verify = false;

  // Coupled setters, each acting only when the value changes:
  // StorePaths := false clears RelativePaths and StoreVolumes;
  // RelativePaths := true sets StorePaths and Recurse;
  // StoreVolumes := true sets StorePaths.
  bool StorePaths() const { return store_paths_; }
  void SetStorePaths(bool value);
  bool RelativePaths() const { return relative_paths_; }
  void SetRelativePaths(bool value);
  bool StoreVolumes() const { return store_volumes_; }
  void SetStoreVolumes(bool value);

  // --- events -------------------------------------------------------------
  // Asked before a file is written. In an update, a file that meets no old
  // entry is asked about before it is opened (the answer decides whether the
  // archive must be written at all), and not again when it is written.
  TStartZipEvent OnStartZip;
  TStartZipInfo OnStartZipInfo;
  TEndZipFileEvent OnEndZip;
  TZipComplete OnZipComplete;
  TFilePercentDone OnFilePercentDone;
  TTotalPercentDone OnTotalPercentDone;
  TNoSuchFileEvent OnNoSuchFile;
  TSkippingFile OnSkippingFile;
  TUpdateEvent OnUpdate;
  TExcludeFileEvent OnExcludeFile;
  // Fired once when an operation must wait for its archive; while it waits,
  // it lets pending input run and acts on a cancel request.
  TWaitForArchiveEvent OnWaitForArchive;
  // Shows the failed-copy message; nothing is shown when unassigned.
  TShowMessage ShowMessage;
  TVerifyEvent OnVerifyArchive;

  // Put between the file and the buffer of the output archive and of every
  // source file (fault injection in tests). The source wrapper is called on
  // the thread that reads the file: with several threads, a worker.
  TStreamWrapper OutputStreamWrapper;
  TStreamWrapper SourceStreamWrapper;

  // --- run-time state -------------------------------------------------------
  bool IsBusy() const { return busy_.load(); }
  // Bytes of the files selected for the current operation, less those left
  // out; zeroed when the operation builds its file list.
  int64_t TotalBytes() const { return total_bytes_.load(std::memory_order_relaxed); }
  // Bytes read from source files so far; advances only while
  // OnTotalPercentDone is assigned.
  int64_t BytesDone() const { return bytes_done_.load(std::memory_order_relaxed); }
  // The number of threads that Threads stands for on this machine.
  int EffectiveThreads() const;
  // Bytes of compressed data that waited in the temporary file during the
  // last operation.
  uint64_t SpilledBytes() const { return spilled_bytes_; }
  // Old entries the last operation carried over unchanged into its archive
  // (all of them when it left the archive as it was).
  int64_t EntriesCarried() const { return entries_carried_.load(std::memory_order_relaxed); }

  // --- operations -------------------------------------------------------------
  // Runs the zip operation over FilesList and ZipName. It first takes the
  // archive's lock (the lock file ZipName + ".lock" beside it), waiting while
  // another operation holds it, so that two runs on one archive follow one
  // another; the lock is held until the archive is in place. Returns the
  // number of entries written from files and folders (copied entries do not count),
  // then fires OnZipComplete with it. A blank ZipName does nothing (result 0,
  // FilesList kept, OnZipComplete still fired). Errors reach the caller;
  // OnZipComplete is then not fired. IsBusy is cleared, FilesList emptied and
  // every buffer freed however the operation ends.
  int32_t ZipFiles();
  // After ZipFiles: true when an update found that it would write exactly
  // the archive that exists (every entry stays, nothing is added, dropped or
  // rewritten) and left the file as it was: no temporary archive, no rename,
  // no flush; its bytes, inode and time stamp are unchanged. The result is
  // then 0. False after any other operation, or one that failed.
  bool LeftAsItWas() const { return left_as_it_was_; }

  // Expands FilesList in place into the files to add (wildcard searches,
  // exclusions, missing files reported through OnNoSuchFile), adding their
  // sizes to TotalBytes. Part of ZipFiles; public for tests and tools.
  void ExpandFilesList();

  // Copies every published property, the lists and the event handlers of
  // another engine.
  void Assign(const TZipWriter& source);

private:
  class Operation;
  friend class Operation;

  // One line of the expanded file list: the path, what stat said of it when
  // it was listed, the size it added to TotalBytes, and whether the merge or
  // the add stage has taken it.
  // Info is what the listing (a folder search's fstatat, or a stat of a
  // named path, links followed) said; a link met by a search is ftSymlink.
  struct TFileLine {
    std::string Path;
    FileInfo Info;
    int64_t CountedSize = 0;
    bool Deleted = false;
    bool Accepted = false;    // OnStartZip has already let it in
    bool NamedWhole = false;  // a line of FilesList without wildcards: links on its way are followed
  };

  // ExpandFilesList without rewriting FilesList: the expanded list is lines_.
  void ExpandLines();
  // Whether the list build leaves a path out: a pattern of ExcludeList
  // (files only) or OnExcludeFile says so.
  bool IsExcluded(const std::string& path, bool folder_entry = false);
  // The in-memory name (Directory + Filename) that a file path would get.
  std::string StoredNameOf(const std::string& path) const;
  // With zaFreshen: true when the held directory has an entry of that name.
  bool FreshenAccepts(const std::string& path) const;
  // Looks up the archive's identity (device and inode) and, with zaFreshen,
  // the names of the held directory.
  void PrepareExpansion();
  // The archive, its lock file, or a temporary archive: files of the engine
  // that are never packed.
  bool IsArchiveItself(const std::string& path, const FileInfo& info) const;
  void AppendLine(std::string path, const FileInfo& info, int64_t counted, bool named_whole = false);
  // Tells OnSkippingFile (srOpenFailed) of a path of the list that could not
  // be examined for a reason other than not being there.
  void ReportUnexamined(const std::string& path, int error_number);
  void AddTotal(int64_t bytes) { total_bytes_.fetch_add(bytes, std::memory_order_relaxed); }
  // Lets pending input run (DoProcessMessages) and ends the operation with
  // EUserCanceled "Пользователь прервал операцию" when a stop is pending.
  void CheckForStop();

  std::string root_dir_;
  std::vector<std::string> files_list_;
  bool store_paths_ = false;
  bool relative_paths_ = false;
  bool store_volumes_ = false;

  std::atomic<bool> busy_{false};
  std::atomic<int64_t> total_bytes_{0};
  std::atomic<int64_t> bytes_done_{0};
  bool left_as_it_was_ = false;
  std::atomic<int64_t> entries_carried_{0};
  // Identity of the archive, so that a search never adds it to itself.
  FileInfo archive_identity_;
  FileInfo lock_identity_;
  // The expanded list (FilesList mirrors its paths) and, with zaFreshen, the
  // stored names of the held directory's entries.
  std::vector<TFileLine> lines_;
  std::unordered_set<std::string> freshen_names_;
  uint64_t spilled_bytes_ = 0;
};

}  // namespace tessel
