#pragma once
// Turns one opened source file into the data of its archive entry and the
// header values that follow from them (CRC, sizes, method, flags, internal
// attributes, whether the local header holds a ZIP64 field). Every file a
// zip operation adds passes through EntryEncoder::Encode, on the operation's
// own thread or on a worker, so that an archive is the same to the byte
// whichever thread read each file.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "deflate/deflate.h"
#include "platform/file_system.h"
#include "zip/buffer_stream.h"

namespace tessel {

// A file whose size at opening comes this close to 4 GiB gets a ZIP64 field
// in its local header before its data are written: deflate's worst growth
// (a few bytes per stored block, well under 1 MiB at 4 GiB) and 63 MiB or
// more of growth while the file is read stay inside it. An entry that still
// outgrows a header without the field is made again with one.
inline constexpr uint64_t kZip64LocalMargin = uint64_t{64} << 20;

// Whether the local header of a file of this size at opening starts with
// the ZIP64 field.
bool NeedsLocalZip64(uint64_t size_at_opening);

// Whether a file of this name is stored as it is rather than deflated: level
// 0 or below, or a name that fits a pattern of the no-compress list.
bool StoresEntry(int level, const std::vector<std::string>& no_compress, std::string_view filename);

// What the checks of a source file go by: the descriptor it is read through
// (-1: none, and no checks), what the file list's listing said of it, and
// when it was opened.
struct SourceFile {
  int Fd = -1;
  FileInfo Listed;
  FileTime OpenedAt;
};

// Where an entry's data go while they are made. Exceptions thrown here (a
// full disk, a cancel) leave Encode unchanged.
class EntrySink {
public:
  virtual ~EntrySink() = default;
  // An attempt at the entry's data starts; local_zip64 tells whether the
  // local header in front of them holds the ZIP64 field.
  virtual void Begin(bool local_zip64) = 0;
  virtual void Write(const uint8_t* data, uint32_t count) = 0;
  // Everything written since Begin is void: the entry is made again, or
  // dropped because its file could not be read.
  virtual void Discard() = 0;
};

// Told of the bytes read from the source, for progress. Exceptions thrown
// here leave Encode unchanged.
class EntryReadObserver {
public:
  virtual ~EntryReadObserver() = default;
  // After each read that returned data.
  virtual void Read(uint32_t count) = 0;
  // The bytes reported since the entry (or its last voided attempt) began
  // were read for an attempt that is void.
  virtual void Void() = 0;
};

// What Encode made of a file. With ReadFailed nothing of the entry remains
// and FailureText says why in the system's words; with NotRegular nothing
// remains either: the descriptor led to no regular file after all (a FIFO or
// device put in the file's place since it was listed, or a file of a kernel
// file system), which holds nothing to back up. Otherwise the values are
// those of the bytes actually read, so that a file that grew or shrank while
// it was read still gives a sound entry; After is what fstat of the
// descriptor said once the last byte was read (Type ftMissing when it could
// not be asked), and Changed tells that the file changed while it was read,
// so that the bytes read may be no version of it that ever existed.
struct EncodedEntry {
  bool ReadFailed = false;
  std::string FailureText;
  bool NotRegular = false;
  FileInfo After;
  bool Changed = false;
  uint32_t Crc32 = 0;
  uint64_t UncompressedSize = 0;
  uint64_t CompressedSize = 0;
  uint16_t CompressionMethod = 0;
  uint16_t InternalAttributes = 0;
  uint16_t AddedFlags = 0;  // general-purpose flag bits of the compression level
  bool LocalZip64 = false;  // the data were made for a local header with the ZIP64 field
};

// The compressor's buffers and what one entry needs around them. One
// encoder serves one thread; its buffers live as long as it does.
class EntryEncoder final : private DeflateIO {
public:
  EntryEncoder();
  ~EntryEncoder() override;
  EntryEncoder(const EntryEncoder&) = delete;
  EntryEncoder& operator=(const EntryEncoder&) = delete;

  // Reads source from its start to its end and writes the entry's data to
  // sink: stored with store, else deflated at level (clamped into 1..9).
  // The header's ZIP64 field at the start follows the listed size
  // (NeedsLocalZip64); should the bytes read or written reach 4 GiB without
  // it, the attempt is discarded and the file read again from its start for
  // a header with it. Read past its listed size, and once its last byte is
  // read, the file is examined through file.Fd (one fstat each); a
  // descriptor that leads to no regular file discards the attempt
  // (NotRegular). A read error discards the attempt and comes back as
  // ReadFailed. Other exceptions (from the source's interruption, the sink or
  // the observer) pass through; the buffers then start afresh for the next
  // entry.
  EncodedEntry Encode(TStream& source, const SourceFile& file, bool store, int level, EntrySink& sink,
                      EntryReadObserver& observer);

private:
  uint32_t read_source(uint8_t* dst, uint32_t count) override;
  void write_output(const uint8_t* src, uint32_t count) override;
  void Attempt(bool store, int level, EncodedEntry& result);
  // Voids what an attempt made: the sink's data, the observer's bytes and,
  // after a deflated attempt cut short, the compressor's state.
  void VoidAttempt(bool store, bool cut_short);

  std::unique_ptr<deflate_buffers> buffers_;
  std::unique_ptr<DeflateTables> tables_;
  std::unique_ptr<uint8_t[]> store_block_;

  // The entry being made.
  TStream* source_ = nullptr;
  const SourceFile* file_ = nullptr;
  bool growth_checked_ = false;  // read past its listed size and examined
  EntrySink* sink_ = nullptr;
  EntryReadObserver* observer_ = nullptr;
  bool local_zip64_ = false;
  uint32_t crc_ = 0;
  uint64_t read_total_ = 0;
  uint64_t written_ = 0;
};

}  // namespace tessel
