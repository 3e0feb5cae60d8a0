#pragma once
// One zip operation of TZipWriter, from the file list to the finished
// archive: it owns the output, the new directory, the current source and the
// compressor's buffers, and its destructor is the clean-up that runs however
// the operation ends. Internal to the engine.
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "deflate/deflate.h"
#include "platform/atomic_file.h"
#include "platform/file_lock.h"
#include "zip/zip_writer.h"

namespace tessel {

class TZipWriter::Operation final : public DeflateIO {
public:
  // Marks the engine busy and switches it to its working settings.
  explicit Operation(TZipWriter& writer);
  // Deletes an unfinished output, frees the buffers, restores the settings,
  // empties FilesList and clears IsBusy. Never throws.
  ~Operation() override;
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  // The whole operation; returns the number of entries written from files
  // and folders.
  int32_t Run();

  // The compressor's callbacks (also used for stored files).
  uint32_t read_source(uint8_t* dst, uint32_t count) override;
  void write_output(const uint8_t* src, uint32_t count) override;

private:
  void LockArchive();
  void RemoveStaleTemporaryArchives();
  void InspectOldArchive();
  // Pairs each old entry with the line of the file list it meets (matches_).
  void MatchEntriesToLines();
  // Whether an update would write exactly the archive that exists: every
  // entry stays as it is and every line meets one of them, names one again
  // or is refused by OnStartZip; nothing is dropped, and the archive is laid
  // out as a rewrite lays it out. Lines it finds left out are settled as
  // AddOneFile would settle them; a line it finds let in keeps that answer.
  bool WouldWriteTheSameArchive();
  bool LaidOutAsARewrite() const;
  // Whether the old entry stays for its line: the update modes keep an entry
  // that is not older than its file.
  bool EntryStays(const TZipHeaderInfo& old, const TFileLine& line) const;
  void OpenOutput();
  void MergeExistingEntries();
  void Announce();
  void AddRemainingFiles();
  bool AddOneFile(TFileLine& line);
  // The entry a line would be written as, its header filled from the
  // listing; nullptr when it would have no name (nothing is written).
  std::unique_ptr<TZipHeaderInfo> NewEntry(const TFileLine& line) const;
  // Opens a file of the list for reading; false when it is left out
  // (reported unless it is no longer a regular file).
  bool OpenSource(const TFileLine& line, FileHandle& handle);
  // Writes a symbolic link met by a search: its target path is the data.
  bool WriteLinkData(TZipHeaderInfo& entry, const std::string& path);
  // Writes the data of a file whose header is filled in; false when a read
  // failure dropped the entry (reported to the caller).
  bool WriteFileData(TZipHeaderInfo& entry, FileHandle handle, const TFileLine& line);
  // After the file is read: the entry takes the file's time and mode as
  // they are now, and a file that changed while it was read is reported.
  // False when the descriptor turns out not to lead to a regular file.
  bool CheckFileAfterReading(TZipHeaderInfo& entry, const TFileLine& line);
  // Names the entries of the old archive that its damaged directory lost
  // and that this run did not write again.
  void ReportLostEntries();
  // Takes back what an interrupted entry wrote and counted: the output
  // returns to its header, the bytes read leave BytesDone, and the
  // compressor's buffers start afresh.
  void DiscardEntryData(const TZipHeaderInfo& entry, bool stored);
  void CopyExistingEntry(const TZipHeaderInfo& old);
  void WriteDirectory();
  void Finish();
  void InstallArchive();

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
  // For each old entry, the line of the file list it meets, or kNoLine.
  std::vector<uint32_t> matches_;
  // Lines whose stored name some old entry has.
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
  // Set when the file being added was left out because it could not be read
  // (not by choice: OnStartZip or a duplicate).
  bool source_failed_ = false;
  TEndCentral end_;
  int32_t result_ = 0;

  std::unique_ptr<deflate_buffers> buffers_;
  std::unique_ptr<uint8_t[]> store_block_;
  // The data of the current entry is gathered here, so that a small file's
  // header and data go out in one piece without a seek back; a larger one
  // switches to writing its data straight behind a provisional header.
  std::unique_ptr<uint8_t[]> staging_;
  size_t staged_ = 0;
  bool direct_ = false;

  // The entry being written and its source.
  TZipHeaderInfo* entry_ = nullptr;
  std::unique_ptr<TStream> source_;
  int source_fd_ = -1;          // the descriptor source_ reads
  FileTime source_opened_;      // when it was opened, on the file systems' clock
  uint32_t crc_ = 0;
  uint64_t read_total_ = 0;     // bytes read from this file
  bool growth_checked_ = false; // it was read past its listed size and examined
  uint64_t file_progress_ = 0;  // bytes counted for OnFilePercentDone
  uint64_t file_done_ = 0;      // bytes of this file added to BytesDone
  uint64_t file_size_ = 0;      // its size as listed
  uint64_t data_start_ = 0;     // archive position of its data
  uint64_t data_written_ = 0;   // bytes of its data written
};

}  // namespace tessel
