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
// and FailureText says why in the system's words; otherwise the values are
// those of the bytes actually read, so that a file that grew or shrank while
// it was read still gives a sound entry.
struct EncodedEntry {
  bool ReadFailed = false;
  std::string FailureText;
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
  // local_zip64 is the header's ZIP64 field at the start (NeedsLocalZip64);
  // should the bytes read or written reach 4 GiB without it, the attempt is
  // discarded and the file read again from its start for a header with it.
  // A read error discards the attempt and comes back as ReadFailed. Other
  // exceptions (from the sink or the observer) pass through; the buffers
  // then start afresh for the next entry.
  EncodedEntry Encode(TStream& source, bool store, int level, bool local_zip64, EntrySink& sink,
                      EntryReadObserver& observer);

private:
  uint32_t read_source(uint8_t* dst, uint32_t count) override;
  void write_output(const uint8_t* src, uint32_t count) override;
  void Attempt(bool store, int level, EncodedEntry& result);

  std::unique_ptr<deflate_buffers> buffers_;
  std::unique_ptr<DeflateTables> tables_;
  std::unique_ptr<uint8_t[]> store_block_;

  // The entry being made.
  TStream* source_ = nullptr;
  EntrySink* sink_ = nullptr;
  EntryReadObserver* observer_ = nullptr;
  bool local_zip64_ = false;
  uint32_t crc_ = 0;
  uint64_t read_total_ = 0;
  uint64_t written_ = 0;
};

}  // namespace tessel
