#include "zip/entry_encoder.h"

#include <algorithm>
#include <cstring>

#include "zip/crc32.h"
#include "zip/header_info.h"
#include "zip/wildcard.h"
#include "zip/zip_errors.h"

namespace tessel {
namespace {

constexpr uint32_t kStoreBlockSize = 32768;
constexpr int kMaxLevel = 9;
constexpr uint16_t kMethodDeflated = 8;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kInternalUnknown = 2;

// A read of the source failed in the middle: the entry is dropped and the
// operation goes on. Never leaves Encode.
struct SourceFailure {
  std::string Text;
};

// The data of the entry have reached 4 GiB for a local header without the
// ZIP64 field: the entry starts again with one. Never leaves Encode.
struct Zip64Restart {};

// The source turned out not to be a regular file (a FIFO or device put in
// its place since it was listed, which would never end). Never leaves Encode.
struct NotARegularFile {};

// Whether a file changed while it was read, from what its listing said, what
// fstat says now, the bytes read and when it was opened: its size now is
// not what was read, or it changed since it was listed and that change came
// after it was opened (one made before was read whole).
bool ChangedWhileRead(const FileInfo& listed, const FileInfo& now, uint64_t bytes_read, FileTime opened) {
  if (now.Size != bytes_read) return true;
  const bool differs = now.Size != listed.Size || now.MTime() != listed.MTime() ||
                       now.CTime() != listed.CTime() || now.Inode != listed.Inode || now.Device != listed.Device;
  return differs && (now.MTime() >= opened || now.CTime() >= opened);
}

std::string ReasonOf(const Error& error) {
  if (const auto* host = dynamic_cast<const EHostError*>(&error); host && host->ErrorNumber() != 0)
    return std::strerror(host->ErrorNumber());
  return error.what();
}

}  // namespace

bool NeedsLocalZip64(uint64_t size_at_opening) { return size_at_opening >= kZip64Marker32 - kZip64LocalMargin; }

bool StoresEntry(int level, const std::vector<std::string>& no_compress, std::string_view filename) {
  const std::string name(filename);
  return level <= 0 || std::any_of(no_compress.begin(), no_compress.end(),
                                   [&](const std::string& pattern) { return WildcardMatch(pattern, name); });
}

EntryEncoder::EntryEncoder()
    : buffers_(AllocateDeflateBuffers()),
      tables_(std::make_unique<DeflateTables>()),
      store_block_(std::make_unique<uint8_t[]>(kStoreBlockSize)) {}

EntryEncoder::~EntryEncoder() = default;

EncodedEntry EntryEncoder::Encode(TStream& source, const SourceFile& file, bool store, int level, EntrySink& sink,
                                  EntryReadObserver& observer) {
  source_ = &source;
  file_ = &file;
  sink_ = &sink;
  observer_ = &observer;
  local_zip64_ = NeedsLocalZip64(file.Listed.Size);
  growth_checked_ = false;
  EncodedEntry result;
  bool again = false;
  for (;;) {
    try {
      if (again) {
        try {
          source.Seek(0, soFromBeginning);
        } catch (const Error& error) {
          throw SourceFailure{ReasonOf(error)};
        }
      }
      Attempt(store, std::min(level, kMaxLevel), result);
      break;
    } catch (const Zip64Restart&) {
      // The header cannot grow where it stands: the data are made again for
      // a header with the field, from the start of the file.
      VoidAttempt(store, true);
      local_zip64_ = true;
      again = true;
    } catch (const SourceFailure& failure) {
      // The entry goes; whatever of it reached the sink is void.
      VoidAttempt(store, true);
      result = EncodedEntry();
      result.ReadFailed = true;
      result.FailureText = failure.Text;
      return result;
    } catch (const NotARegularFile&) {
      VoidAttempt(store, true);
      result = EncodedEntry();
      result.NotRegular = true;
      return result;
    } catch (...) {
      // An interrupted compression leaves its buffers mid-entry; whatever
      // this encoder makes next starts afresh.
      if (!store) buffers_ = AllocateDeflateBuffers();
      throw;
    }
  }
  result.Crc32 = ~crc_;
  result.UncompressedSize = read_total_;
  result.CompressedSize = written_;
  result.LocalZip64 = local_zip64_;
  if (file.Fd < 0) return result;
  // One fstat of the open file, after its last byte, tells what was read.
  FileInfo now;
  if (!FStat(file.Fd, now)) return result;
  // Swapped for a file of another file system since the listing: a kernel
  // file system's files hold no data to back up.
  if (!now.IsRegular() || (now.Device != file.Listed.Device && IsPseudoFileSystem(file.Fd))) {
    VoidAttempt(store, false);
    result = EncodedEntry();
    result.NotRegular = true;
    return result;
  }
  result.After = now;
  result.Changed = ChangedWhileRead(file.Listed, now, read_total_, file.OpenedAt);
  return result;
}

void EntryEncoder::VoidAttempt(bool store, bool cut_short) {
  if (cut_short && !store) buffers_ = AllocateDeflateBuffers();
  sink_->Discard();
  observer_->Void();
}

void EntryEncoder::Attempt(bool store, int level, EncodedEntry& result) {
  crc_ = kCrc32Initial;
  read_total_ = 0;
  written_ = 0;
  sink_->Begin(local_zip64_);
  if (store) {
    for (;;) {
      const uint32_t n = read_source(store_block_.get(), kStoreBlockSize);
      if (n == 0) break;
      write_output(store_block_.get(), n);
    }
    result.CompressionMethod = kMethodStored;
    result.InternalAttributes = 0;
    result.AddedFlags = 0;
    return;
  }
  DeflateHeader header;
  header.GeneralPurposeFlags = 0;
  header.CompressionMethod = kMethodDeflated;
  header.InternalAttributes = kInternalUnknown;
  deflate_entry(level, header, *buffers_, *tables_, *this);
  result.CompressionMethod = header.CompressionMethod;
  result.InternalAttributes = header.InternalAttributes;
  result.AddedFlags = header.GeneralPurposeFlags;
}

uint32_t EntryEncoder::read_source(uint8_t* dst, uint32_t count) {
  size_t n = 0;
  try {
    n = source_->Read(dst, count);
  } catch (const EUserCanceled&) {
    throw;  // a stop while the read was blocked
  } catch (const Error& error) {
    throw SourceFailure{ReasonOf(error)};
  }
  if (n == 0) return 0;
  if (!local_zip64_ && read_total_ + n >= kZip64Marker32) throw Zip64Restart{};
  if (!growth_checked_ && file_->Fd >= 0 && read_total_ + n > file_->Listed.Size) {
    // More than the listing found: a file that grows, or a FIFO or device
    // put in its place, which would never end; only a file goes on.
    growth_checked_ = true;
    FileInfo now;
    if (FStat(file_->Fd, now) && !now.IsRegular()) throw NotARegularFile{};
  }
  read_total_ += n;
  crc_ = Crc32Update(crc_, dst, n);
  observer_->Read(static_cast<uint32_t>(n));
  return static_cast<uint32_t>(n);
}

void EntryEncoder::write_output(const uint8_t* src, uint32_t count) {
  if (!local_zip64_ && written_ + count >= kZip64Marker32) throw Zip64Restart{};
  sink_->Write(src, count);
  written_ += count;
}

}  // namespace tessel
