#include "zip/archive_check.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

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

bool TEntryCheck::Begin(const TZipHeaderInfo& entry) { return Begin(TEntryFacts::Of(entry)); }

bool TEntryCheck::Begin(const TEntryFacts& entry) {
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

namespace {

// One entry's data, found by the reading of the records, for the check of
// its bytes.
struct DataToCheck {
  uint64_t Start = 0;
  TEntryFacts Facts;
  std::string Name;
};

// The check of the entries' data on several threads. The entries are cut
// into runs of neighbours of about kRunBytes; each thread takes the next
// run, so that every file stream reads front to back in large pieces.
class DataCheck {
public:
  // first_only: the check ends at the first damaged entry in the archive's
  // order; else every entry is checked and each one's reason kept.
  DataCheck(const std::string& path, const std::vector<DataToCheck>& entries, bool first_only)
      : path_(path), entries_(entries), first_only_(first_only) {
    if (!first_only_) reasons_.resize(entries_.size());
    uint64_t run_bytes = 0;
    for (size_t i = 0; i < entries_.size(); ++i) {
      total_ += entries_[i].Facts.CompressedSize;
      if (runs_.empty() || run_bytes >= kRunBytes) {
        runs_.push_back(i);
        run_bytes = 0;
      }
      run_bytes += entries_[i].Facts.CompressedSize;
    }
    runs_.push_back(entries_.size());
  }

  uint64_t Total() const { return total_; }
  // Without first_only, after Run: each entry's reason, "" when it passed.
  std::vector<std::string> TakeReasons() { return std::move(reasons_); }

  // Checks the data; `tell` is called on this thread between pieces and
  // while it waits for the others, and may throw. With first_only, returns
  // the first damaged entry's index and reason, or an index past the last
  // entry when all passed.
  std::pair<size_t, std::string> Run(TEntryCheck& check, unsigned threads,
                                     const std::function<void(uint64_t)>& tell) {
    std::vector<std::thread> helpers;
    const size_t wanted = std::min<size_t>(threads > 0 ? threads - 1 : 0, runs_.size() - 1);
    try {
      for (size_t i = 1; i < wanted + 1; ++i) helpers.emplace_back([this] { Helper(); });
    } catch (const std::system_error&) {
      // Fewer threads than asked for: those that started, and this one, do it.
    }
    try {
      CheckRuns(check, &tell);
      // The others' last runs: this thread keeps telling, and hears a stop.
      std::unique_lock lock(mutex_);
      while (busy_helpers_ != 0 || helpers_started_ < helpers.size()) {
        lock.unlock();
        tell(done_.load(std::memory_order_relaxed));
        lock.lock();
        ended_cv_.wait_for(lock, kWaitStep);
      }
    } catch (...) {
      stop_.store(true);
      for (std::thread& t : helpers) t.join();
      throw;
    }
    for (std::thread& t : helpers) t.join();
    if (helper_error_) std::rethrow_exception(helper_error_);
    return {first_failure_.load(), failure_};
  }

private:
  static constexpr uint64_t kRunBytes = uint64_t{1} << 20;
  static constexpr auto kWaitStep = std::chrono::milliseconds(20);

  void Helper() {
    {
      std::lock_guard lock(mutex_);
      ++helpers_started_;
      ++busy_helpers_;
    }
    try {
      TEntryCheck check;
      CheckRuns(check, nullptr);
    } catch (...) {
      std::lock_guard lock(mutex_);
      if (!helper_error_) helper_error_ = std::current_exception();
      stop_.store(true);
    }
    std::lock_guard lock(mutex_);
    --busy_helpers_;
    ended_cv_.notify_all();
  }

  // Notes a damaged entry: each one, or only the first in the archive's order.
  void Fail(size_t index, std::string reason) {
    if (!first_only_) {
      reasons_[index] = std::move(reason);  // no other thread checks this entry
      return;
    }
    std::lock_guard lock(mutex_);
    if (index >= first_failure_.load()) return;
    first_failure_.store(index);
    failure_ = std::move(reason);
  }

  void CheckRuns(TEntryCheck& check, const std::function<void(uint64_t)>* tell) {
    TLFNFileStream data(path_, TFileOpenMode::fmOpenRead, kDataBufferSize);
    std::vector<uint8_t> chunk(kReadChunk);
    for (;;) {
      const size_t run = next_run_.fetch_add(1);
      if (run + 1 >= runs_.size()) return;
      for (size_t i = runs_[run]; i < runs_[run + 1]; ++i) {
        if (Ended(i)) return;
        std::string reason = CheckOne(i, data, chunk, check, tell);
        if (Ended(i)) return;
        if (!reason.empty()) Fail(i, std::move(reason));
      }
    }
  }

  // A stop, or (when only the first fault counts) a damaged entry in front
  // of entry i, ends the check.
  bool Ended(size_t i) const { return stop_.load() || i > first_failure_.load(); }

  // The reason entry i is damaged, "" when it passed (or the check ended).
  std::string CheckOne(size_t i, TStream& data, std::vector<uint8_t>& chunk, TEntryCheck& check,
                       const std::function<void(uint64_t)>* tell) {
    const DataToCheck& entry = entries_[i];
    data.Seek(static_cast<int64_t>(entry.Start), soFromBeginning);
    uint64_t remaining = check.Begin(entry.Facts) ? entry.Facts.CompressedSize : 0;
    done_.fetch_add(entry.Facts.CompressedSize - remaining, std::memory_order_relaxed);
    while (remaining > 0) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(remaining, chunk.size()));
      if (data.Read(chunk.data(), n) != n) {
        done_.fetch_add(remaining, std::memory_order_relaxed);
        check.Finish();
        return kReasonDataOutside;
      }
      check.Feed(chunk.data(), n);
      remaining -= n;
      done_.fetch_add(n, std::memory_order_relaxed);
      if (check.Failed()) {
        done_.fetch_add(remaining, std::memory_order_relaxed);
        break;
      }
      if (tell != nullptr) (*tell)(done_.load(std::memory_order_relaxed));
      if (Ended(i)) return {};
    }
    return check.Finish();
  }

  const std::string& path_;
  const std::vector<DataToCheck>& entries_;
  const bool first_only_;
  std::vector<std::string> reasons_;  // without first_only: each entry's
  std::vector<size_t> runs_;  // the first entry of each run, then entries_.size()
  uint64_t total_ = 0;
  std::atomic<size_t> next_run_{0};
  std::atomic<uint64_t> done_{0};
  std::atomic<bool> stop_{false};
  std::atomic<size_t> first_failure_{SIZE_MAX};
  std::string failure_;  // guarded by mutex_
  std::mutex mutex_;
  std::condition_variable ended_cv_;
  size_t helpers_started_ = 0;
  size_t busy_helpers_ = 0;
  std::exception_ptr helper_error_;
};

}  // namespace

void VerifyArchive(const std::string& path, const std::string& name,
                   const std::vector<std::unique_ptr<TZipHeaderInfo>>* expected, TEntryCheck& check,
                   const TVerifyProgress& progress, unsigned threads) {
  TLFNFileStream directory(path, TFileOpenMode::fmOpenRead, kDirectoryBufferSize);
  TLFNFileStream headers(path, TFileOpenMode::fmOpenRead, kDataBufferSize);
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
  // The records first: a fault found in them is reported after the data of
  // the entries in front of it have passed, as a reading front to back would.
  std::vector<DataToCheck> entries;
  entries.reserve(static_cast<size_t>(std::min<uint64_t>(end.TotalEntries, end.CentralDirSize / kCentralHeaderSize)));
  std::optional<std::pair<std::string, std::string>> fault;  // name, reason
  directory.Seek(static_cast<int64_t>(end.CentralDirOffset), soFromBeginning);
  TZipHeaderInfo central;
  TZipHeaderInfo local;
  // Where the entries read so far end: the next one starts there, the
  // directory after the last.
  uint64_t free_from = 0;
  for (uint64_t i = 0; i < end.TotalEntries && !fault; ++i) {
    if (!central.ReadCentral(directory)) {
      fault.emplace(name, kReasonBadCentralHeader);
      break;
    }
    std::string entry_name = central.FullName();
    auto fail = [&](const char* reason) { fault.emplace(entry_name, reason); };
    if (expected != nullptr && !SameEntry(*(*expected)[i], central)) {
      fail(kReasonUnexpectedEntry);
      break;
    }
    if (central.RelativeOffset != free_from) {
      fail(kReasonNotContiguous);
      break;
    }
    if (central.RelativeOffset > data_end || data_end - central.RelativeOffset < kLocalHeaderSize) {
      fail(kReasonBadLocalHeader);
      break;
    }
    headers.Seek(static_cast<int64_t>(central.RelativeOffset), soFromBeginning);
    if (!local.ReadLocal(headers)) {
      fail(kReasonBadLocalHeader);
      break;
    }
    if (!SameHeaders(local, central)) {
      fail(kReasonLocalDiffers);
      break;
    }
    const uint64_t data_start = central.RelativeOffset + local.LocalSize();
    if (data_start > data_end || central.CompressedSize > data_end - data_start) {
      fail(kReasonDataOutside);
      break;
    }
    free_from = data_start + central.CompressedSize;
    if (central.HasDataDescriptor()) {
      uint8_t d[kMaxDescriptorSize];
      const uint64_t available = std::min<uint64_t>(sizeof d, data_end - free_from);
      headers.Seek(static_cast<int64_t>(free_from), soFromBeginning);
      const uint64_t length = headers.Read(d, static_cast<size_t>(available)) == available
                                  ? MatchingDescriptorLength(d, available, central, local.LocalZip64)
                                  : 0;
      if (length == 0) {
        fail(kReasonBadDescriptor);
        break;
      }
      free_from += length;
    }
    entries.push_back({data_start, TEntryFacts::Of(central), std::move(entry_name)});
  }
  if (!fault && directory.Position() != directory_end) fault.emplace(name, kReasonDirectorySize);
  if (!fault && free_from != data_end) fault.emplace(name, kReasonNotContiguous);

  DataCheck data(path, entries, true);
  uint64_t reported = 0;
  auto tell = [&](uint64_t done) {
    if (!progress || done - reported < kProgressStep) return;
    reported = done;
    progress(done, data.Total());
  };
  if (progress) progress(0, data.Total());
  const auto [damaged, reason] = data.Run(check, threads, tell);
  if (damaged < entries.size()) throw EVerifyFailed(entries[damaged].Name, reason);
  if (fault) throw EVerifyFailed(fault->first, fault->second);
  if (progress) progress(data.Total(), data.Total());
}

std::vector<std::string> CheckEntryData(const std::string& path, const std::vector<const TZipHeaderInfo*>& entries,
                                        unsigned threads, const TVerifyProgress& progress) {
  std::vector<std::string> reasons(entries.size());
  // Where each entry's data start, from its local header; an entry whose
  // header cannot be found is damaged without a look at its data.
  std::vector<DataToCheck> data_of;
  std::vector<size_t> origin;
  data_of.reserve(entries.size());
  origin.reserve(entries.size());
  {
    TLFNFileStream headers(path, TFileOpenMode::fmOpenRead, kDataBufferSize);
    const uint64_t size = headers.Size();
    for (size_t i = 0; i < entries.size(); ++i) {
      const TZipHeaderInfo& entry = *entries[i];
      const uint64_t offset = entry.RelativeOffset;
      uint8_t r[kLocalHeaderSize];
      bool found = offset <= size && size - offset >= kLocalHeaderSize;
      if (found) {
        headers.Seek(static_cast<int64_t>(offset), soFromBeginning);
        found = headers.Read(r, sizeof r) == sizeof r && GetLE32(r) == kLocalHeaderSignature;
      }
      const uint64_t start = found ? offset + kLocalHeaderSize + GetLE16(r + 26) + GetLE16(r + 28) : 0;
      if (!found || start > size || entry.CompressedSize > size - start) {
        reasons[i] = kReasonBadLocalHeader;
        continue;
      }
      data_of.push_back({start, TEntryFacts::Of(entry), std::string()});
      origin.push_back(i);
    }
  }
  DataCheck data(path, data_of, false);
  uint64_t reported = 0;
  auto tell = [&](uint64_t done) {
    if (!progress || done - reported < kProgressStep) return;
    reported = done;
    progress(done, data.Total());
  };
  TEntryCheck check;
  data.Run(check, threads, tell);
  std::vector<std::string> found = data.TakeReasons();
  for (size_t k = 0; k < found.size(); ++k) reasons[origin[k]] = std::move(found[k]);
  return reasons;
}

}  // namespace tessel
