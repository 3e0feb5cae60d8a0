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
#include "zip/archive_check.h"
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
  void OpenOutput();
  void MergeExistingEntries();
  void Announce();
  void AddRemainingFiles();
  bool AddOneFile(TFileLine& line);
  // Writes the data of a file whose header is filled in; false when a read
  // failure dropped the entry (reported to the caller).
  bool WriteFileData(TZipHeaderInfo& entry, FileHandle handle, const std::string& path);
  // Takes back what an interrupted entry wrote and counted: the output
  // returns to its header, the bytes read leave BytesDone, and the
  // compressor's buffers start afresh.
  void DiscardEntryData(const TZipHeaderInfo& entry, bool stored);
  // Copies an old entry, checking its data with Verify; false (and nothing
  // written) when the check found it damaged.
  bool CopyExistingEntry(const TZipHeaderInfo& old);
  // An old entry whose file this operation does not read: carried over, or
  // left out and reported when it is damaged.
  void CarryOver(const TZipHeaderInfo& old);
  // Reads the finished temporary archive back (Verify).
  void VerifyOutput();
  void WriteDirectory();
  void Finish();
  void InstallArchive();

  void AddWritten(std::unique_ptr<TZipHeaderInfo> entry);
  void SwitchToDirectOutput();
  void SeekOutput(uint64_t position);
  void Report(TSkipReason reason, const std::string& path, const std::string& text);
  void LeaveOut(const TFileLine& line);

  TZipWriter& w_;
  TZipSortMode saved_sort_mode_;
  bool saved_keep_open_;

  bool old_exists_ = false;
  bool carry_over_ = false;
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
  std::unique_ptr<TEntryCheck> check_;  // with Verify
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
  uint32_t crc_ = 0;
  uint64_t read_total_ = 0;     // bytes read from this file
  uint64_t file_progress_ = 0;  // bytes counted for OnFilePercentDone
  uint64_t file_done_ = 0;      // bytes of this file added to BytesDone
  uint64_t file_size_ = 0;      // its size when it was opened
  uint64_t data_start_ = 0;     // archive position of its data
  uint64_t data_written_ = 0;   // bytes of its data written
};

}  // namespace tessel
