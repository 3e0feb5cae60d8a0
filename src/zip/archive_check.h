#pragma once
// Reading back what the engine writes: the data of one entry inflated (zlib)
// or read as stored, with its CRC-32 and size (TEntryCheck), and a whole
// archive read from its end record to its last byte of data (VerifyArchive).
// The engine uses the first on every old entry it carries over and the second
// on a finished archive before it takes the archive's place.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zip/buffer_stream.h"
#include "zip/header_info.h"
#include "zip/zip_errors.h"

namespace tessel {

inline constexpr const char* kMsgVerifyFailed = "Архив не прошёл проверку: ";
inline constexpr const char* kReasonBadData = "сжатые данные повреждены";
inline constexpr const char* kReasonTruncatedData = "сжатые данные обрываются";
inline constexpr const char* kReasonTrailingData = "лишние байты после сжатых данных";
inline constexpr const char* kReasonCrcMismatch = "CRC-32 не совпадает";
inline constexpr const char* kReasonSizeMismatch = "размер не совпадает";
inline constexpr const char* kReasonStoredSizes = "размеры хранимых данных не совпадают";
inline constexpr const char* kReasonNoEndRecord = "нет записи конца каталога";
inline constexpr const char* kReasonBytesAfterEnd = "лишние байты после записи конца каталога";
inline constexpr const char* kReasonBadZip64Records = "записи ZIP64 повреждены";
inline constexpr const char* kReasonDirectoryPlace = "каталог не стоит перед записью конца каталога";
inline constexpr const char* kReasonBadCentralHeader = "центральный заголовок повреждён";
inline constexpr const char* kReasonDirectorySize = "размер каталога не совпадает";
inline constexpr const char* kReasonUnexpectedEntry = "каталог не совпадает с записанным";
inline constexpr const char* kReasonEntryCount = "число записей не совпадает";
inline constexpr const char* kReasonNotContiguous = "записи не следуют одна за другой";
inline constexpr const char* kReasonBadLocalHeader = "локальный заголовок повреждён";
inline constexpr const char* kReasonLocalDiffers = "локальный заголовок не совпадает с центральным";
inline constexpr const char* kReasonDataOutside = "данные выходят за пределы архива";
inline constexpr const char* kReasonBadDescriptor = "дескриптор данных не совпадает";

// The check of an archive found a fault: "Архив не прошёл проверку: <entry
// name>: <reason>" (the archive's own path stands for the entry when the
// fault lies in its directory records).
class EVerifyFailed : public Error {
public:
  EVerifyFailed(const std::string& name, const std::string& reason)
      : Error(kMsgVerifyFailed + name + ": " + reason) {}
};

// What the check of an entry's data goes by, taken from its header.
struct TEntryFacts {
  uint64_t CompressedSize = 0;
  uint64_t UncompressedSize = 0;
  uint32_t Crc32 = 0;
  uint16_t CompressionMethod = 0;
  uint16_t GeneralPurposeFlags = 0;

  static TEntryFacts Of(const TZipHeaderInfo& entry) {
    return {entry.CompressedSize, entry.UncompressedSize, entry.Crc32, entry.CompressionMethod,
            entry.GeneralPurposeFlags};
  }
};

// The check of one entry's data, fed with its compressed bytes as they pass.
// Stored data is counted and its CRC-32 taken; deflated data is inflated
// through zlib first. The buffers are allocated once and serve entry after
// entry.
class TEntryCheck {
public:
  TEntryCheck();
  ~TEntryCheck();
  TEntryCheck(const TEntryCheck&) = delete;
  TEntryCheck& operator=(const TEntryCheck&) = delete;

  // Starts on an entry, whose Crc32, sizes and method are what the data must
  // give. False for data this check cannot read (encrypted, or a method other
  // than stored and deflated): such an entry is taken as it is and Feed and
  // Finish pass it.
  bool Begin(const TZipHeaderInfo& entry);
  bool Begin(const TEntryFacts& entry);
  // The next bytes of the entry's data. Never throws: a fault is noted, and
  // the bytes after it are ignored.
  void Feed(const uint8_t* data, size_t count);
  bool Failed() const { return !failure_.empty(); }
  // After the last byte of the data: empty when the data gave the entry's
  // CRC-32 and size, else the reason in words.
  std::string Finish();

private:
  struct Inflater;
  std::unique_ptr<Inflater> inflater_;
  std::unique_ptr<uint8_t[]> output_;
  bool active_ = false;
  bool deflated_ = false;
  bool stream_end_ = false;
  uint32_t crc_ = 0;
  uint64_t produced_ = 0;
  uint64_t fed_ = 0;
  uint32_t expected_crc_ = 0;
  uint64_t expected_size_ = 0;
  uint64_t expected_compressed_ = 0;
  std::string failure_;
};

// Reports how far the check of an archive has come (bytes of entry data read
// of the whole); may throw to end the check (a stop).
using TVerifyProgress = std::function<void(uint64_t done, uint64_t total)>;

// Reads the archive file at `path` back: the end record (which
// must close the file), the ZIP64 end record and locator when present, the
// central directory (which must stand right before them and hold exactly
// their count of headers), then entry by entry, each right behind the one
// before it from the start of the file to the directory:
// the local header against the central one (stored name, method, flags,
// CRC-32 and sizes; with flag bit 3 the local values may be 0 and the data
// descriptor after the data must hold them), the data through `check`. When
// `expected` is given, the directory must hold exactly those entries in
// that order with their names, CRC-32 and sizes (nullptr: no such list). `name` names the archive in
// messages. Throws EVerifyFailed for a fault, the stream's errors for a
// failed read, and whatever `progress` throws.
// The records are read first, through one stream for the directory and one
// for the local headers, both front to back; then the entries' data are
// checked on `threads` threads (the caller's among them; `check` serves it),
// each taking runs of neighbouring entries. The fault reported is always the
// one a check from front to back would meet first, whatever the number of
// threads; `progress` is called on the caller's thread only.
void VerifyArchive(const std::string& path, const std::string& name,
                   const std::vector<std::unique_ptr<TZipHeaderInfo>>* expected, TEntryCheck& check,
                   const TVerifyProgress& progress, unsigned threads = 1);

// Checks the data of some entries of the archive at `path` (old entries,
// before they are carried over) on `threads` threads, and returns for each
// entry, in the order given, why its data are damaged: "" when they passed or
// cannot be read by the check (as TEntryCheck::Begin), kReasonBadLocalHeader
// when its local header is not where the entry says. `progress` as for
// VerifyArchive; the streams' errors pass through.
std::vector<std::string> CheckEntryData(const std::string& path, const std::vector<const TZipHeaderInfo*>& entries,
                                        unsigned threads, const TVerifyProgress& progress);

}  // namespace tessel
