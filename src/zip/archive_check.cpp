#include "zip/archive_check.h"

#include <zlib.h>

#include <algorithm>
#include <new>

#include "zip/crc32.h"

namespace tessel {
namespace {

// Inflated bytes per call into zlib.
constexpr size_t kInflateOutputSize = 262144;
// Pieces in which the data is read back: large enough that a big entry is
// read past the stream's buffer, straight into this one.
constexpr size_t kReadChunk = size_t{1} << 20;
constexpr size_t kDirectoryBufferSize = 65536;
constexpr size_t kDataBufferSize = 262144;
// Progress is told at most once per this many bytes of data.
constexpr uint64_t kProgressStep = uint64_t{1} << 20;
// The longest data descriptor: signature, CRC-32 and two 8-byte sizes.
constexpr uint64_t kMaxDescriptorSize = 24;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;

// The offset of the ZIP64 end record that a locator right before the end
// record names, when there is one; else end_record itself.
uint64_t DirectoryEnd(TStream& stream, uint64_t end_record) {
  if (end_record < kZip64LocatorSize) return end_record;
  uint8_t locator[kZip64LocatorSize];
  stream.Seek(static_cast<int64_t>(end_record - kZip64LocatorSize), soFromBeginning);
  if (stream.Read(locator, sizeof locator) != sizeof locator || GetLE32(locator) != kZip64LocatorSignature)
    return end_record;
  const uint64_t record = GetLE64(locator + 8);
  if (record > end_record - kZip64LocatorSize) return end_record;
  uint8_t signature[4];
  stream.Seek(static_cast<int64_t>(record), soFromBeginning);
  if (stream.Read(signature, sizeof signature) != sizeof signature ||
      GetLE32(signature) != kZip64EndCentralSignature)
    return end_record;
  return record;
}

// The local header says what the central one says: the same stored name,
// method and flags, and the same CRC-32 and sizes (which, behind flag bit 3,
// the local header may leave at 0 for the data descriptor to give).
bool SameHeaders(const TZipHeaderInfo& local, const TZipHeaderInfo& central) {
  if (local.RawStoredName() != central.RawStoredName() || local.CompressionMethod != central.CompressionMethod ||
      local.GeneralPurposeFlags != central.GeneralPurposeFlags)
    return false;
  const bool same_values = local.Crc32 == central.Crc32 && local.CompressedSize == central.CompressedSize &&
                           local.UncompressedSize == central.UncompressedSize;
  const bool left_to_descriptor =
      central.HasDataDescriptor() && local.Crc32 == 0 && local.CompressedSize == 0 && local.UncompressedSize == 0;
  return same_values || left_to_descriptor;
}

bool SameEntry(const TZipHeaderInfo& written, const TZipHeaderInfo& read) {
  return written.StoredNameBytes() == read.RawStoredName() &&
         written.Crc32 == read.Crc32 && written.CompressedSize == read.CompressedSize &&
         written.UncompressedSize == read.UncompressedSize &&
         written.CompressionMethod == read.CompressionMethod && written.RelativeOffset == read.RelativeOffset;
}

}  // namespace

// --------------------------------------------------------------- TEntryCheck

struct TEntryCheck::Inflater {
  z_stream Stream{};
  ~Inflater() { inflateEnd(&Stream); }
};

TEntryCheck::TEntryCheck() : output_(std::make_unique<uint8_t[]>(kInflateOutputSize)) {
  auto inflater = std::make_unique<Inflater>();
  // Raw deflate data, as a zip entry holds it: no zlib header, no checksum.
  if (inflateInit2(&inflater->Stream, -MAX_WBITS) != Z_OK) throw std::bad_alloc();
  inflater_ = std::move(inflater);
}

TEntryCheck::~TEntryCheck() = default;

bool TEntryCheck::Begin(const TZipHeaderInfo& entry) {
  failure_.clear();
  crc_ = kCrc32Initial;
  produced_ = 0;
  fed_ = 0;
  stream_end_ = false;
  expected_crc_ = entry.Crc32;
  expected_size_ = entry.UncompressedSize;
  expected_compressed_ = entry.CompressedSize;
  const bool readable = (entry.GeneralPurposeFlags & kFlagEncrypted) == 0 &&
                        (entry.CompressionMethod == kMethodStored || entry.CompressionMethod == kMethodDeflated);
  active_ = readable;
  if (!readable) return false;
  deflated_ = entry.CompressionMethod == kMethodDeflated;
  if (deflated_) {
    inflateReset(&inflater_->Stream);
  } else if (entry.CompressedSize != entry.UncompressedSize) {
    failure_ = kReasonStoredSizes;
  }
  return true;
}

void TEntryCheck::Feed(const uint8_t* data, size_t count) {
  if (!active_ || Failed() || count == 0) return;
  fed_ += count;
  if (fed_ > expected_compressed_) {
    failure_ = kReasonTrailingData;
    return;
  }
  if (!deflated_) {
    crc_ = Crc32Update(crc_, data, count);
    produced_ += count;
    return;
  }
  if (stream_end_) {
    failure_ = kReasonTrailingData;
    return;
  }
  z_stream& z = inflater_->Stream;
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = static_cast<uInt>(count);
  for (;;) {
    z.next_out = output_.get();
    z.avail_out = static_cast<uInt>(kInflateOutputSize);
    const int rc = inflate(&z, Z_NO_FLUSH);
    const size_t n = kInflateOutputSize - z.avail_out;
    crc_ = Crc32Update(crc_, output_.get(), n);
    produced_ += n;
    // Data that inflates past its size is damaged, and is not inflated on.
    if (produced_ > expected_size_) {
      failure_ = kReasonSizeMismatch;
      return;
    }
    if (rc == Z_STREAM_END) {
      stream_end_ = true;
      if (z.avail_in != 0) failure_ = kReasonTrailingData;
      return;
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      failure_ = kReasonBadData;
      return;
    }
    // Every byte taken and all output given: the rest comes with more input.
    if (z.avail_in == 0 && z.avail_out != 0) return;
    if (rc == Z_BUF_ERROR && n == 0) return;
  }
}

std::string TEntryCheck::Finish() {
  if (!active_) return {};
  active_ = false;
  if (Failed()) return failure_;
  if (fed_ != expected_compressed_) return kReasonTruncatedData;
  if (deflated_ && !stream_end_) return kReasonTruncatedData;
  if (produced_ != expected_size_) return kReasonSizeMismatch;
  if ((crc_ ^ kCrc32Initial) != expected_crc_) return kReasonCrcMismatch;
  return {};
}

// -------------------------------------------------------------- VerifyArchive

void VerifyArchive(const std::string& path, const std::string& name,
                   const std::vector<std::unique_ptr<TZipHeaderInfo>>* expected, TEntryCheck& check,
                   const TVerifyProgress& progress) {
  TLFNFileStream directory(path, TFileOpenMode::fmOpenRead, kDirectoryBufferSize);
  TLFNFileStream data(path, TFileOpenMode::fmOpenRead, kDataBufferSize);
  const uint64_t size = directory.Size();

  TEndCentral end;
  if (size == 0 || !end.LocateAndRead(directory)) throw EVerifyFailed(name, kReasonNoEndRecord);
  if (end.ZipCommentPos + end.ZipCommentLength != size) throw EVerifyFailed(name, kReasonBytesAfterEnd);
  if (!end.ReadZip64Records(directory)) throw EVerifyFailed(name, kReasonBadZip64Records);
  const uint64_t directory_end = DirectoryEnd(directory, end.ZipCommentPos - kEndCentralSize);
  if (end.CentralDirOffset > directory_end || directory_end - end.CentralDirOffset != end.CentralDirSize)
    throw EVerifyFailed(name, kReasonDirectoryPlace);
  if (end.EntriesThisDisk != end.TotalEntries || end.ThisDisk != 0 || end.CentralStartDisk != 0)
    throw EVerifyFailed(name, kReasonEntryCount);
  if (expected != nullptr && end.TotalEntries != expected->size()) throw EVerifyFailed(name, kReasonEntryCount);

  const uint64_t data_end = end.CentralDirOffset;
  std::vector<uint8_t> chunk(kReadChunk);
  uint64_t reported = 0;
  auto tell = [&](uint64_t done, bool always) {
    if (!progress || (!always && done - reported < kProgressStep)) return;
    reported = done;
    progress(done, data_end);
  };
  tell(0, true);

  directory.Seek(static_cast<int64_t>(end.CentralDirOffset), soFromBeginning);
  TZipHeaderInfo central;
  TZipHeaderInfo local;
  // Where the entries read so far end: the next one starts there, the
  // directory after the last.
  uint64_t free_from = 0;
  for (uint64_t i = 0; i < end.TotalEntries; ++i) {
    if (!central.ReadCentral(directory)) throw EVerifyFailed(name, kReasonBadCentralHeader);
    const std::string entry_name = central.FullName();
    if (expected != nullptr && !SameEntry(*(*expected)[i], central))
      throw EVerifyFailed(entry_name, kReasonUnexpectedEntry);
    if (central.RelativeOffset != free_from) throw EVerifyFailed(entry_name, kReasonNotContiguous);

    if (central.RelativeOffset > data_end || data_end - central.RelativeOffset < kLocalHeaderSize)
      throw EVerifyFailed(entry_name, kReasonBadLocalHeader);
    data.Seek(static_cast<int64_t>(central.RelativeOffset), soFromBeginning);
    if (!local.ReadLocal(data)) throw EVerifyFailed(entry_name, kReasonBadLocalHeader);
    if (!SameHeaders(local, central)) throw EVerifyFailed(entry_name, kReasonLocalDiffers);
    const uint64_t data_start = central.RelativeOffset + local.LocalSize();
    if (data_start > data_end || central.CompressedSize > data_end - data_start)
      throw EVerifyFailed(entry_name, kReasonDataOutside);

    data.Seek(static_cast<int64_t>(data_start), soFromBeginning);
    const bool readable = check.Begin(central);
    uint64_t remaining = central.CompressedSize;
    if (!readable) data.Seek(static_cast<int64_t>(remaining), soFromCurrent);
    while (readable && remaining > 0) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(remaining, chunk.size()));
      if (data.Read(chunk.data(), n) != n) throw EVerifyFailed(entry_name, kReasonDataOutside);
      check.Feed(chunk.data(), n);
      if (check.Failed()) break;
      remaining -= n;
      tell(data_start + central.CompressedSize - remaining, false);
    }
    if (std::string reason = check.Finish(); !reason.empty()) throw EVerifyFailed(entry_name, reason);

    free_from = data_start + central.CompressedSize;
    if (central.HasDataDescriptor()) {
      uint8_t d[kMaxDescriptorSize];
      const uint64_t available = std::min<uint64_t>(sizeof d, data_end - free_from);
      data.Seek(static_cast<int64_t>(free_from), soFromBeginning);
      const uint64_t length = data.Read(d, static_cast<size_t>(available)) == available
                                  ? MatchingDescriptorLength(d, available, central, local.LocalZip64)
                                  : 0;
      if (length == 0) throw EVerifyFailed(entry_name, kReasonBadDescriptor);
      free_from += length;
    }
  }
  if (directory.Position() != directory_end) throw EVerifyFailed(name, kReasonDirectorySize);
  if (free_from != data_end) throw EVerifyFailed(name, kReasonNotContiguous);
  tell(data_end, true);
}

}  // namespace tessel
