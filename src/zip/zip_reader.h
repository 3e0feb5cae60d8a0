#pragma once
// TZipReader: the reader half of the zip engine. It knows the archive's name,
// opens an existing archive, reads its directory (end record, central headers,
// or a rebuild from the local headers of a damaged archive) and holds it in
// memory with a view in SortMode order. TZipWriter extends it.
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/datetime.h"
#include "zip/buffer_stream.h"
#include "zip/header_info.h"
#include "zip/object_list.h"
#include "zip/zip_errors.h"

namespace tessel {

// What reading an archive without a readable end record does.
enum TIncompleteZipMode : uint8_t { izAssumeMulti = 0, izAssumeBad = 1, izAssumeNotAZip = 2 };

// Identity and modification time of an archive file when its directory was
// read: a held directory is reused only while all of these are unchanged, so
// a rewrite within the same second is still noticed.
struct TArchiveStamp {
  bool Valid = false;
  int64_t MTimeSeconds = 0;
  int64_t MTimeNanoseconds = 0;
  uint64_t Size = 0;
  uint64_t Device = 0;
  uint64_t Inode = 0;
  DateTime Time = 0;  // the modification time as a local date-time value

  static TArchiveStamp FromStat(const struct stat& st);
  bool operator==(const TArchiveStamp& other) const {
    return Valid == other.Valid && MTimeSeconds == other.MTimeSeconds &&
           MTimeNanoseconds == other.MTimeNanoseconds && Size == other.Size &&
           Device == other.Device && Inode == other.Inode;
  }
};

inline constexpr const char* kOpenZipTitle = "Открыть Zip файл";
inline constexpr const char* kOpenZipFilter =
    "Zip файлы (*.ZIP)|*.zip|SFX файлы (*.EXE)|*.exe|Jar файлы (*.JAR)|*.jar|All файлы (*.*)|*.*";
// A self-extractor stub is assumed to take at least this many bytes.
inline constexpr uint64_t kSfxSearchStart = 14000;
// Bytes scanned between two looks at pending input and the cancel flag.
inline constexpr uint32_t kScanCheckInterval = 10240;
inline constexpr const char* kZipConfigExtension = ".zfc";
// Why a directory record could not be kept.
inline constexpr const char* kReasonSharedLocalHeader = "в старом архиве указывает на данные другой записи";
inline constexpr const char* kReasonNoLocalHeader = "в старом архиве нет данных этой записи";

// A record of an archive's central directory that the read could not keep.
struct TLostEntry {
  std::string Name;    // Directory + Filename
  std::string Reason;  // why, in words
};

class TZipReader {
public:
  TZipReader();
  virtual ~TZipReader();
  TZipReader(const TZipReader&) = delete;
  TZipReader& operator=(const TZipReader&) = delete;

  // --- properties -------------------------------------------------------
  const std::string& ZipName() const { return zip_name_; }
  // A name ending in "?" asks ChooseArchive (initial folder: the name's
  // folder when it exists, else "/"); no callback or a refusal raises
  // EUserCanceled "Пользователь прервал ввод имени архива.". A name that
  // differs (exactly, byte for byte) drops the held directory, closes the
  // archive and clears the repair flag. The name is not opened here.
  virtual void SetZipName(const std::string& name);

  TZipSortMode SortMode() const { return sort_mode_; }
  // Rebuilds SortedEntries for the mode.
  void SetSortMode(TZipSortMode mode);

  bool KeepZipOpen = false;
  bool DoProcessMessages = true;
  bool FlushFilesOnClose = false;
  bool ReplaceReadOnly = false;
  TIncompleteZipMode IncompleteZipMode = izAssumeMulti;

  // --- callbacks ----------------------------------------------------------
  // Called when no end record was found; may change the mode.
  std::function<void(TZipReader& sender, TIncompleteZipMode& mode)> OnInCompleteZip;
  // Lets the window process its pending input (the engine calls it after each
  // block written; the reader during the local header scan).
  std::function<void()> ProcessInput;
  // Asks the user to choose an archive; true with `chosen` set, false when
  // the user declined.
  std::function<bool(const std::string& initial_folder, std::string& chosen)> ChooseArchive;
  // Put between every archive file the reader opens and its buffer (tests).
  TStreamWrapper ArchiveStreamWrapper;

  // --- cancellation ---------------------------------------------------------
  void RequestCancel() { cancel_requested_.store(true); }
  bool CancelRequested() const { return cancel_requested_.load(); }
  // True (and the request cleared) when a cancel was pending.
  bool TakeCancelRequest() { return cancel_requested_.exchange(false); }

  // --- the archive and its directory --------------------------------------
  // Opens the archive for reading when no stream is open; a directory held
  // from an earlier read is kept when the file's stamp is unchanged, else the
  // directory is read (LoadDirectory). Raises EHostError when the file cannot
  // be opened and the errors of LoadDirectory.
  void OpenArchive();
  // OpenArchive, then closes the stream unless KeepZipOpen.
  void ReadDirectory();
  // Closes the stream unless KeepZipOpen (the end of an operation).
  void ReleaseArchive();
  // Closes the stream, keeps the directory.
  void CloseArchive();
  // Closes the stream and drops the directory, the end record, the stamp and
  // the repair flag; ZipName stays.
  void CloseAndForget();
  bool IsArchiveOpen() const { return archive_ != nullptr; }
  bool HasDirectory() const { return entries_ != nullptr; }
  // The open archive stream, or nullptr.
  TLFNFileStream* ArchiveStream() const { return archive_.get(); }

  // The entries in the order of their local headers (ByNone, owning), or
  // nullptr when no directory is held.
  TSortedZip* Entries() const { return entries_.get(); }
  // The view in SortMode order (Entries itself for ByNone), or nullptr.
  TSortedZip* SortedEntries() const { return sorted_ != nullptr ? sorted_ : entries_.get(); }
  TEndCentral& EndCentral() { return end_central_; }
  const TEndCentral& EndCentral() const { return end_central_; }
  const TArchiveStamp& ArchiveStamp() const { return stamp_; }
  bool RepairFlag() const { return repaired_; }
  // The records that the last read of the directory could not keep: a
  // second record for a local header that an earlier record holds, and, in a
  // directory mended from its local headers, a record whose local header
  // was not found. Empty for a sound directory.
  const std::vector<TLostEntry>& LostEntries() const { return lost_; }
  uint32_t CurrentDisk() const { return current_disk_; }
  uint32_t NumberOfDisks() const { return number_of_disks_; }

  // Takes the directory of an archive just written: its entries (ByNone,
  // owning), end record and stamp; SortedEntries is rebuilt for SortMode.
  void AdoptDirectory(std::unique_ptr<TSortedZip> entries, const TEndCentral& end,
                      const TArchiveStamp& stamp);

  // --- entry access through SortedEntries ------------------------------------
  // 0 when no directory is held.
  int32_t Count() const;
  // EListError "Index %d is out of range" outside 0..Count()-1.
  TZipHeaderInfo& Entry(int32_t index) const;
  // The entry's time stamp; the current date-time when it cannot be converted.
  DateTime EntryDateTime(int32_t index) const;
  // The entry comment (raw bytes), read from the archive when not yet loaded.
  std::string EntryComment(int32_t index);
  // The archive comment (raw bytes), read from the archive when not yet loaded.
  std::string ZipComment();

  // The ".zfc" side file name of an archive path.
  static std::string ZipConfigFileName(const std::string& archive);

protected:
  // Reads the end record and every central header of the open archive into
  // Entries and builds SortedEntries. Raises ENotAZipFile, EIncompleteZip or
  // EBadZipFile as the archive requires; EUserCanceled from the scan.
  void LoadDirectory();
  // Rebuilds Entries from the chain of local headers; false when no local
  // header is found, the flag was already set, or an entry has a data
  // descriptor (its local header holds no sizes).
  bool RebuildFromLocalHeaders(TS_BufferStream& stream);
  // Lets pending input run and acts on a cancel request (EUserCanceled
  // "Пользователь прервал операцию") when DoProcessMessages is set.
  void ProcessMessagesAndCheckCancel();
  // The failure path: close the stream even with KeepZipOpen, drop the lists,
  // clear the end record, the repair flag and the stamp, and empty ZipName.
  void CloseOnFailure();
  // Drops the directory (entries, view, end record, stamp) without touching
  // the stream.
  void DropDirectory();
  void RebuildSortedView();

  std::atomic<bool> cancel_requested_{false};

private:
  void ReadCentralHeaders(TS_BufferStream& stream, bool from_config_file);

  std::string zip_name_;
  TZipSortMode sort_mode_ = ByNone;
  std::unique_ptr<TLFNFileStream> archive_;
  std::unique_ptr<TSortedZip> entries_;
  std::unique_ptr<TSortedZip> sorted_view_;  // owns the separate view
  TSortedZip* sorted_ = nullptr;             // the separate view, or nullptr
  TEndCentral end_central_;
  TArchiveStamp stamp_;
  std::vector<TLostEntry> lost_;
  bool repaired_ = false;
  uint32_t current_disk_ = 0;
  uint32_t number_of_disks_ = 1;
};

}  // namespace tessel
