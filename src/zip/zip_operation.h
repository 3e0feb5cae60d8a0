#pragma once
// One zip operation of TZipWriter, from the file list to the finished
// archive: it owns the output, the new directory, the current source, the
// compressor's buffers and the workers, and its destructor is the clean-up
// that runs however the operation ends. Internal to the engine.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/file_lock.h"
#include "zip/archive_check.h"
#include "zip/entry_encoder.h"
#include "zip/entry_pipeline.h"
#include "zip/zip_writer.h"

namespace tessel {

class TZipWriter::Operation final : private EntrySink, private EntryReadObserver {
public:
  // Marks the engine busy and switches it to its working settings.
  explicit Operation(TZipWriter& writer);
  // Stops the workers, deletes an unfinished output and a spill file, frees
  // the buffers, restores the settings, empties FilesList and clears IsBusy.
  // Never throws.
  ~Operation() override;
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  // The whole operation; returns the number of entries written from files
  // and folders.
  int32_t Run();

private:
  // One old entry in the merge, in the order of the old archive: copied
  // (Line null), kept (its file is not newer) or replaced by its file.
  struct MergeStep {
    int32_t Entry;
    TFileLine* Line;
    bool Keep;
  };

  void LockArchive();
  void RemoveStaleTemporaryArchives();
  void InspectOldArchive();
  // Decides, for every old entry, what the merge does with it (merge_); the
  // files that replace entries are then known before any is read, and the
  // lines whose stored name an old entry has (named_in_archive_).
  void PlanMerge();
  // Whether the old entry stays for its line: the update modes keep an entry
  // that is not older than its file.
  bool EntryStays(const TZipHeaderInfo& old, const TFileLine& line) const;
  // Whether an update would write exactly the archive that exists: every
  // entry stays as it is and every line meets one of them, names one again
  // or is refused by OnStartZip; nothing is dropped, and the archive is laid
  // out as a rewrite lays it out. Lines it finds left out are settled as
  // AddOneFile would settle them; a line it finds let in keeps that answer.
  bool WouldWriteTheSameArchive();
  bool LaidOutAsARewrite() const;
  void OpenOutput();
  // With more than one thread and file: starts the workers on the files of
  // the merge, in the order the archive takes them; those added after the
  // announcement follow once it is made.
  void StartWorkers();
  void MergeExistingEntries();
  void Announce();
  void AddRemainingFiles();
  bool AddOneFile(TFileLine& line);
  // Whether AddOneFile makes an entry of a line at all: a folder (with
  // stored paths), a link met by a search, or a regular file.
  bool Writable(const TFileLine& line) const;
  // The entry a line would be written as, its header filled from the
  // listing; nullptr when it would have no name (nothing is written).
  std::unique_ptr<TZipHeaderInfo> NewEntry(const TFileLine& line) const;
  // Opens a file of the list for reading, or learns from the worker's ticket
  // what its opening found; false when it is left out (reported unless it is
  // no longer a regular file). A retry opens it here and drops the ticket.
  bool OpenSource(const TFileLine& line, FileHandle& handle, FileTime& opened_at,
                  std::optional<EntryPipeline::Ticket>& ticket);
  // Writes a symbolic link met by a search: its target path is the data.
  bool WriteLinkData(TZipHeaderInfo& entry, const std::string& path);
  // Writes the data of a file whose header is filled in, from the open
  // handle here or from the worker's ticket; false when a read failure
  // dropped the entry (reported to the caller) or the file turned out to be
  // no regular file. The entry takes the file's time and mode as they were
  // once it was read, and a file that changed while it was read is reported.
  bool WriteFileData(TZipHeaderInfo& entry, FileHandle handle, FileTime opened_at,
                     EntryPipeline::Ticket* ticket, const TFileLine& line);
  // The final header in front of the entry's data: rewritten in place when
  // the data went straight to the archive, else written with the staged data.
  void FinishEntryData(TZipHeaderInfo& entry);
  // What the check of the entries to carry over, made before they are
  // copied, found of one (with Verify).
  enum class Checked : uint8_t { kNot, kSound, kDamaged };
  // With Verify, checks on every thread the old entries that the merge will
  // certainly carry over (not those kept only when their file fails), so
  // that they are copied without a check of their own.
  std::vector<Checked> CheckEntriesToCarry();
  // Copies an old entry, checking its data with Verify unless that was done
  // beforehand; false (and nothing written) when it is damaged.
  bool CopyExistingEntry(const TZipHeaderInfo& old, Checked checked = Checked::kNot);
  // An old entry whose file this operation does not read: carried over, or
  // left out and reported when it is damaged.
  void CarryOver(const TZipHeaderInfo& old, Checked checked = Checked::kNot);
  // Names the entries of the old archive that its damaged directory lost
  // and that this run did not write again.
  void ReportLostEntries();
  // Reads the finished temporary archive back (Verify).
  void VerifyOutput();
  void WriteDirectory();
  void Finish();
  void InstallArchive();

  // The archive end of an entry's data (EntrySink). The data of a small
  // entry are gathered in memory, so that its header and data go out in one
  // piece without a seek back; a larger one switches to writing its data
  // straight behind a provisional header. Each write lets pending input run
  // and acts on a cancel request.
  void Begin(bool local_zip64) override;
  void Write(const uint8_t* data, uint32_t count) override;
  void Discard() override;
  // Progress of a file read on this thread (EntryReadObserver): the file and
  // total events after every read.
  void Read(uint32_t count) override;
  void Void() override;
  // While this thread waits for a worker: the progress events when the
  // figures moved, pending input, a cancel request.
  void WaitTick(const EntryPipeline::Ticket* ticket);

  void AddWritten(std::unique_ptr<TZipHeaderInfo> entry);
  void SwitchToDirectOutput();
  void SeekOutput(uint64_t position);
  // Tells OnSkippingFile of a file; Report also marks the current file as
  // left out because it could not be read.
  void Tell(TSkipReason reason, const std::string& path, const std::string& text);
  void Report(TSkipReason reason, const std::string& path, const std::string& text);
  void LeaveOut(const TFileLine& line);

  TZipWriter& w_;
  TZipSortMode saved_sort_mode_;
  bool saved_keep_open_;

  bool old_exists_ = false;
  bool carry_over_ = false;
  // Lines of the file list whose stored name some old entry has.
  std::vector<bool> named_in_archive_;
  std::string target_;        // the file the finished archive replaces or becomes
  LockFile lock_;             // held from before the old archive is read until the new one is in place

  // The temporary archive and its replacement of target_; out_ writes it.
  std::unique_ptr<AtomicFileWriter> writer_;
  std::unique_ptr<TLFNFileStream> out_;

  // The entries of the new archive by their stored names, held as their two
  // name parts, so that no name is copied to be looked up.
  struct NameHash {
    size_t operator()(const TZipHeaderInfo* entry) const;
  };
  struct NameEqual {
    bool operator()(const TZipHeaderInfo* a, const TZipHeaderInfo* b) const {
      return a->Filename() == b->Filename() && a->Directory() == b->Directory();
    }
  };

  std::vector<std::unique_ptr<TZipHeaderInfo>> written_;
  std::unordered_set<const TZipHeaderInfo*, NameHash, NameEqual> names_;
  std::vector<MergeStep> merge_;
  // Set when the file being added was left out because it could not be read
  // (not by choice: OnStartZip or a duplicate).
  bool source_failed_ = false;
  TEndCentral end_;
  int32_t result_ = 0;

  // Files are read on this thread by encoder_, or ahead of their turn by
  // the workers of pipeline_.
  std::unique_ptr<EntryEncoder> encoder_;
  std::unique_ptr<EntryPipeline> pipeline_;
  std::unique_ptr<TEntryCheck> check_;  // with Verify
  std::unique_ptr<uint8_t[]> staging_;
  size_t staged_ = 0;
  bool direct_ = false;

  // The entry being written and its source.
  TZipHeaderInfo* entry_ = nullptr;
  std::unique_ptr<TStream> source_;
  uint64_t file_progress_ = 0;  // bytes counted for OnFilePercentDone
  uint64_t file_done_ = 0;      // bytes of this file added to BytesDone (read on this thread)
  uint64_t file_size_ = 0;      // its size as listed
  int64_t total_shown_ = -1;    // BytesDone when OnTotalPercentDone last fired while waiting
};

}  // namespace tessel
