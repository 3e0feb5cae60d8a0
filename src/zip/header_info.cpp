#include "zip/header_info.h"

#include <algorithm>
#include <array>
#include <vector>

#include "platform/text.h"

namespace tessel {
namespace {

constexpr const char* kMsgValueTooLarge = "Value does not fit a 32-bit zip field: ";
constexpr size_t kCopyChunk = 32768;

bool HasHighByte(std::string_view s) {
  return std::any_of(s.begin(), s.end(), [](char c) { return static_cast<uint8_t>(c) >= 0x80; });
}

uint32_t Fit32(uint64_t value, const char* field) {
  if (value > kMaxZip32) throw Error(std::string(kMsgValueTooLarge) + field);
  return static_cast<uint32_t>(value);
}

// Restores the stream to `position` and reports failure (record readers).
bool Fail(TStream& stream, uint64_t position) {
  stream.Seek(static_cast<int64_t>(position), soFromBeginning);
  return false;
}

std::string ReadExactly(TStream& stream, size_t count, bool& ok) {
  std::string bytes(count, '\0');
  ok = count == 0 || stream.Read(bytes.data(), count) == count;
  return bytes;
}

}  // namespace

// ------------------------------------------------------------- name coding

std::string DecodeStoredName(std::string_view stored, uint16_t flags, uint16_t version_made_by) {
  if ((flags & kFlagUtf8Name) != 0 || (version_made_by >> 8) == kHostUnix)
    return std::string(stored);
  std::string name = Cp866ToUtf8(stored);
  // DOS and Windows tools may store their own separator.
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
}

bool EncodeStoredName(std::string_view name, uint16_t flags, uint16_t version_made_by,
                      std::string& out) {
  if ((flags & kFlagUtf8Name) != 0 || (version_made_by >> 8) == kHostUnix) {
    out.assign(name);
    return true;
  }
  return Utf8ToCp866(name, out);
}

// ---------------------------------------------------------- TZipHeaderInfo

void TZipHeaderInfo::Clear() {
  VersionMadeBy = kVersion20;
  VersionNeeded = kVersion20;
  GeneralPurposeFlags = 0;
  CompressionMethod = 8;
  LastModDateTime = 0;
  Crc32 = 0xFFFFFFFFu;
  CompressedSize = 0;
  UncompressedSize = 0;
  FilenameLength = 0;
  CentralExtraLength = 0;
  LocalExtraLength = 0;
  FileCommentLength = 0;
  DiskNumberStart = 0;
  InternalAttributes = 1;
  ExternalAttributes = 0x20;
  RelativeOffset = 0;
  CentralOffset = 0;
  StatusBytes = {0, 0, 0};
  filename_.clear();
  directory_.clear();
  raw_name_.clear();
  file_comment_.reset();
}

void TZipHeaderInfo::CopyValuesFrom(const TZipHeaderInfo& s) {
  VersionMadeBy = s.VersionMadeBy;
  VersionNeeded = s.VersionNeeded;
  GeneralPurposeFlags = s.GeneralPurposeFlags;
  CompressionMethod = s.CompressionMethod;
  LastModDateTime = s.LastModDateTime;
  Crc32 = s.Crc32;
  CompressedSize = s.CompressedSize;
  UncompressedSize = s.UncompressedSize;
  CentralExtraLength = s.CentralExtraLength;
  LocalExtraLength = s.LocalExtraLength;
  DiskNumberStart = s.DiskNumberStart;
  InternalAttributes = s.InternalAttributes;
  ExternalAttributes = s.ExternalAttributes;
  RelativeOffset = s.RelativeOffset;
  CentralOffset = s.CentralOffset;
  StatusBytes = s.StatusBytes;
  FileCommentLength = s.FileCommentLength;
  if (s.FileCommentLength != 0 && s.file_comment_) file_comment_ = s.file_comment_;
  filename_ = s.filename_;
  directory_ = s.directory_;
  raw_name_ = s.raw_name_;
  FilenameLength = s.FilenameLength;
}

void TZipHeaderInfo::UpdateNameLength() {
  FilenameLength = static_cast<uint16_t>(std::min(StoredNameBytes().size(), kMaxStoredNameLength));
}

void TZipHeaderInfo::SetFilename(std::string_view name) {
  if (name == filename_) return;
  filename_.assign(name);
  raw_name_.clear();
  UpdateNameLength();
}

void TZipHeaderInfo::SetDirectory(std::string_view directory) {
  std::string value(directory);
  if (!value.empty() && value.back() != '/') value.push_back('/');
  if (value == directory_) return;
  directory_ = std::move(value);
  raw_name_.clear();
  UpdateNameLength();
}

void TZipHeaderInfo::SetFullName(std::string_view name) {
  const size_t slash = name.rfind('/');
  const size_t split = slash == std::string_view::npos ? 0 : slash + 1;
  if (name.substr(0, split) == directory_ && name.substr(split) == filename_) return;
  directory_.assign(name.substr(0, split));
  filename_.assign(name.substr(split));
  raw_name_.clear();
  UpdateNameLength();
}

void TZipHeaderInfo::AssignStoredName(std::string_view stored) {
  raw_name_.assign(stored);
  FilenameLength = static_cast<uint16_t>(stored.size());
  std::string decoded;
  std::string_view name = stored;
  if ((GeneralPurposeFlags & kFlagUtf8Name) == 0 && (VersionMadeBy >> 8) != kHostUnix) {
    decoded = DecodeStoredName(stored, GeneralPurposeFlags, VersionMadeBy);
    name = decoded;
  }
  const size_t slash = name.rfind('/');
  const size_t split = slash == std::string_view::npos ? 0 : slash + 1;
  directory_.assign(name.substr(0, split));
  filename_.assign(name.substr(split));
}

void TZipHeaderInfo::SetFileComment(std::optional<std::string> comment) {
  if (comment && comment->size() > 0xFFFF) comment->resize(0xFFFF);
  FileCommentLength = comment ? static_cast<uint16_t>(comment->size()) : 0;
  file_comment_ = std::move(comment);
}

std::string TZipHeaderInfo::StoredNameBytes() const {
  if (!raw_name_.empty()) return raw_name_;
  std::string name = directory_ + filename_;
  std::string stored;
  if (EncodeStoredName(name, GeneralPurposeFlags, VersionMadeBy, stored)) return stored;
  return name;  // written as UTF-8 with flag bit 11 (see SaveLocal)
}

void TZipHeaderInfo::MarkUtf8NameIfNeeded() {
  // A name that is not UTF-8 (a file name of raw bytes) is stored as those
  // bytes without the flag: with it, readers that trust the flag refuse the
  // whole archive.
  if (raw_name_.empty() && (HasHighByte(directory_) || HasHighByte(filename_)) &&
      IsValidUtf8(directory_) && IsValidUtf8(filename_)) {
    GeneralPurposeFlags |= kFlagUtf8Name;
    UpdateNameLength();
  }
}

void TZipHeaderInfo::SaveLocal(TStream& stream) {
  std::string name = StoredNameBytes();
  if (raw_name_.empty()) {
    std::string coded;
    if (!EncodeStoredName(directory_ + filename_, GeneralPurposeFlags, VersionMadeBy, coded))
      GeneralPurposeFlags |= kFlagUtf8Name;
  }
  if (name.size() > kMaxStoredNameLength) throw Error("Entry name too long: " + name);
  FilenameLength = static_cast<uint16_t>(name.size());
  RelativeOffset = stream.Position();
  uint8_t r[kLocalHeaderSize];
  PutLE32(r + 0, kLocalHeaderSignature);
  PutLE16(r + 4, VersionNeeded);
  PutLE16(r + 6, GeneralPurposeFlags);
  PutLE16(r + 8, CompressionMethod);
  PutLE32(r + 10, LastModDateTime);
  PutLE32(r + 14, Crc32);
  PutLE32(r + 18, Fit32(CompressedSize, "compressed size"));
  PutLE32(r + 22, Fit32(UncompressedSize, "uncompressed size"));
  PutLE16(r + 26, FilenameLength);
  PutLE16(r + 28, LocalExtraLength);
  Fit32(RelativeOffset, "local header offset");
  stream.WriteBuffer(r, sizeof r);
  stream.WriteBuffer(name.data(), name.size());
}

void TZipHeaderInfo::SaveCentral(TStream& stream) {
  std::string name = StoredNameBytes();
  if (raw_name_.empty()) {
    std::string coded;
    if (!EncodeStoredName(directory_ + filename_, GeneralPurposeFlags, VersionMadeBy, coded))
      GeneralPurposeFlags |= kFlagUtf8Name;
  }
  if (name.size() > kMaxStoredNameLength) throw Error("Entry name too long: " + name);
  FilenameLength = static_cast<uint16_t>(name.size());
  // No central extra field is written; a comment is written only when its
  // text is at hand, and the length field always tells what follows.
  CentralExtraLength = 0;
  const bool with_comment = FileCommentLength != 0 && file_comment_.has_value();
  const uint16_t comment_length = with_comment ? static_cast<uint16_t>(file_comment_->size()) : 0;
  uint8_t r[kCentralHeaderSize];
  PutLE32(r + 0, kCentralHeaderSignature);
  PutLE16(r + 4, VersionMadeBy);
  PutLE16(r + 6, VersionNeeded);
  PutLE16(r + 8, GeneralPurposeFlags);
  PutLE16(r + 10, CompressionMethod);
  PutLE32(r + 12, LastModDateTime);
  PutLE32(r + 16, Crc32);
  PutLE32(r + 20, Fit32(CompressedSize, "compressed size"));
  PutLE32(r + 24, Fit32(UncompressedSize, "uncompressed size"));
  PutLE16(r + 28, FilenameLength);
  PutLE16(r + 30, 0);
  PutLE16(r + 32, comment_length);
  PutLE16(r + 34, DiskNumberStart);
  PutLE16(r + 36, InternalAttributes);
  PutLE32(r + 38, ExternalAttributes);
  PutLE32(r + 42, Fit32(RelativeOffset, "local header offset"));
  stream.WriteBuffer(r, sizeof r);
  stream.WriteBuffer(name.data(), name.size());
  if (with_comment) stream.WriteBuffer(file_comment_->data(), comment_length);
}

void TZipHeaderInfo::SetFromCentral(const uint8_t* r, std::string_view stored_name) {
  VersionMadeBy = GetLE16(r + 4);
  VersionNeeded = GetLE16(r + 6);
  GeneralPurposeFlags = GetLE16(r + 8);
  CompressionMethod = GetLE16(r + 10);
  LastModDateTime = RepairDosDateTime(GetLE32(r + 12));
  Crc32 = GetLE32(r + 16);
  CompressedSize = GetLE32(r + 20);
  UncompressedSize = GetLE32(r + 24);
  FilenameLength = static_cast<uint16_t>(stored_name.size());
  CentralExtraLength = GetLE16(r + 30);
  FileCommentLength = GetLE16(r + 32);
  DiskNumberStart = GetLE16(r + 34);
  InternalAttributes = GetLE16(r + 36);
  ExternalAttributes = GetLE32(r + 38);
  RelativeOffset = GetLE32(r + 42);
  CentralOffset = 0;
  AssignStoredName(stored_name);
  file_comment_.reset();
  StatusBytes[0] = 0;
  StatusBytes[2] = 0;
}

void TZipHeaderInfo::SetFromLocal(const uint8_t* r, std::string_view stored_name) {
  VersionMadeBy = 0;
  VersionNeeded = GetLE16(r + 4);
  GeneralPurposeFlags = GetLE16(r + 6);
  CompressionMethod = GetLE16(r + 8);
  LastModDateTime = RepairDosDateTime(GetLE32(r + 10));
  Crc32 = GetLE32(r + 14);
  CompressedSize = GetLE32(r + 18);
  UncompressedSize = GetLE32(r + 22);
  LocalExtraLength = GetLE16(r + 28);
  FileCommentLength = 0;
  DiskNumberStart = 0;
  InternalAttributes = 0;
  ExternalAttributes = 0;
  RelativeOffset = 0;
  CentralOffset = 0;
  AssignStoredName(stored_name);
  file_comment_.reset();
  StatusBytes[0] = 0;
  StatusBytes[2] = 0;
}

bool TZipHeaderInfo::ReadCentral(TStream& stream, bool load_comment) {
  const uint64_t start = stream.Position();
  uint8_t r[kCentralHeaderSize];
  if (stream.Read(r, sizeof r) != sizeof r || GetLE32(r) != kCentralHeaderSignature)
    return Fail(stream, start);
  bool ok = true;
  const std::string name = ReadExactly(stream, GetLE16(r + 28), ok);
  if (!ok) return Fail(stream, start);
  const uint16_t extra = GetLE16(r + 30);
  const uint16_t comment_length = GetLE16(r + 32);
  if (extra != 0) stream.Seek(extra, soFromCurrent);
  std::optional<std::string> comment;
  if (comment_length != 0) {
    if (load_comment) {
      comment = ReadExactly(stream, comment_length, ok);
      if (!ok) return Fail(stream, start);
    } else {
      stream.Seek(comment_length, soFromCurrent);
    }
  }
  SetFromCentral(r, name);
  CentralExtraLength = 0;
  CentralOffset = start;
  if (comment) file_comment_ = std::move(comment);
  return true;
}

bool TZipHeaderInfo::ReadLocal(TStream& stream) {
  const uint64_t start = stream.Position();
  uint8_t r[kLocalHeaderSize];
  if (stream.Read(r, sizeof r) != sizeof r || GetLE32(r) != kLocalHeaderSignature)
    return Fail(stream, start);
  bool ok = true;
  const std::string name = ReadExactly(stream, GetLE16(r + 26), ok);
  if (!ok) return Fail(stream, start);
  SetFromLocal(r, name);
  RelativeOffset = start;
  return true;
}

bool TZipHeaderInfo::FetchComment(TStream& stream) {
  if (!CommentPending()) return true;
  const uint64_t here = stream.Position();
  stream.Seek(static_cast<int64_t>(CentralOffset), soFromBeginning);
  uint8_t r[kCentralHeaderSize];
  bool ok = stream.Read(r, sizeof r) == sizeof r && GetLE32(r) == kCentralHeaderSignature;
  if (ok) {
    stream.Seek(GetLE16(r + 28) + GetLE16(r + 30), soFromCurrent);
    std::string comment = ReadExactly(stream, FileCommentLength, ok);
    if (ok) file_comment_ = std::move(comment);
  }
  stream.Seek(static_cast<int64_t>(here), soFromBeginning);
  return ok;
}

// -------------------------------------------------------------- TEndCentral

void TEndCentral::Clear() {
  Signature = kEndCentralSignature;
  ThisDisk = 0;
  CentralStartDisk = 0;
  EntriesThisDisk = 0;
  TotalEntries = 0;
  CentralDirSize = 0;
  CentralDirOffset = 0;
  ZipCommentLength = 0;
  ZipComment.reset();
  ZipCommentPos = 0;
  CommentModified = false;
}

void TEndCentral::CopyValuesFrom(const TEndCentral& s) {
  Signature = s.Signature;
  ThisDisk = s.ThisDisk;
  CentralStartDisk = s.CentralStartDisk;
  EntriesThisDisk = s.EntriesThisDisk;
  TotalEntries = s.TotalEntries;
  CentralDirSize = s.CentralDirSize;
  CentralDirOffset = s.CentralDirOffset;
  ZipCommentLength = s.ZipCommentLength;
  ZipCommentPos = s.ZipCommentPos;
  if (s.ZipCommentLength != 0 && s.ZipComment) {
    ZipComment = s.ZipComment;
    ZipCommentLength = static_cast<uint16_t>(s.ZipComment->size());
  }
}

void TEndCentral::SetComment(std::optional<std::string> comment) {
  if (comment && comment->size() > 0xFFFF) comment->resize(0xFFFF);
  ZipCommentLength = comment ? static_cast<uint16_t>(comment->size()) : 0;
  ZipComment = std::move(comment);
}

void TEndCentral::SaveToStream(TStream& stream) {
  const bool with_comment = ZipCommentLength != 0 && ZipComment.has_value();
  const uint16_t comment_length = with_comment ? static_cast<uint16_t>(ZipComment->size()) : 0;
  uint8_t r[kEndCentralSize];
  PutLE32(r + 0, kEndCentralSignature);
  PutLE16(r + 4, ThisDisk);
  PutLE16(r + 6, CentralStartDisk);
  PutLE16(r + 8, EntriesThisDisk);
  PutLE16(r + 10, TotalEntries);
  PutLE32(r + 12, Fit32(CentralDirSize, "central directory size"));
  PutLE32(r + 16, Fit32(CentralDirOffset, "central directory offset"));
  PutLE16(r + 20, comment_length);
  stream.WriteBuffer(r, sizeof r);
  if (with_comment) stream.WriteBuffer(ZipComment->data(), comment_length);
}

bool TEndCentral::LocateAndRead(TStream& stream) {
  const uint64_t size = stream.Size();
  if (size < kEndCentralSize) {
    if (size != 0) return false;
    Clear();
    return true;
  }
  const uint64_t n = std::min<uint64_t>(size, kEndCentralSearchSize);
  std::vector<uint8_t> tail(static_cast<size_t>(n));
  stream.Seek(static_cast<int64_t>(size - n), soFromBeginning);
  if (stream.Read(tail.data(), tail.size()) != tail.size()) return false;
  for (size_t i = tail.size() - kEndCentralSize + 1; i-- > 0;) {
    const uint8_t* p = tail.data() + i;
    if (p[0] != 0x50 || GetLE32(p) != kEndCentralSignature) continue;
    Signature = kEndCentralSignature;
    ThisDisk = GetLE16(p + 4);
    CentralStartDisk = GetLE16(p + 6);
    EntriesThisDisk = GetLE16(p + 8);
    TotalEntries = GetLE16(p + 10);
    CentralDirSize = GetLE32(p + 12);
    CentralDirOffset = GetLE32(p + 16);
    ZipCommentLength = GetLE16(p + 20);
    ZipComment.reset();
    ZipCommentPos = size - n + i + kEndCentralSize;
    CommentModified = false;
    return true;
  }
  return false;
}

bool TEndCentral::FetchComment(TStream& stream) {
  if (ZipCommentLength == 0 || ZipComment) return true;
  const uint64_t here = stream.Position();
  stream.Seek(static_cast<int64_t>(ZipCommentPos), soFromBeginning);
  std::string comment(ZipCommentLength, '\0');
  const size_t n = stream.Read(comment.data(), comment.size());
  stream.Seek(static_cast<int64_t>(here), soFromBeginning);
  // A comment cut short by the end of the file keeps what is there.
  comment.resize(n);
  const bool whole = n == ZipCommentLength;
  ZipCommentLength = static_cast<uint16_t>(n);
  ZipComment = std::move(comment);
  return whole;
}

// ---------------------------------------------------------------- helpers

uint32_t RepairDosDateTime(uint32_t value) {
  int second = static_cast<int>(value & 0x1F) * 2;
  int minute = static_cast<int>((value >> 5) & 0x3F);
  int hour = static_cast<int>((value >> 11) & 0x1F);
  int day = static_cast<int>((value >> 16) & 0x1F);
  int month = static_cast<int>((value >> 21) & 0x0F);
  int year = static_cast<int>((value >> 25) & 0x7F) + 1980;
  bool clamped = false;
  auto clamp = [&clamped](int& field, int lo, int hi) {
    if (field < lo) {
      field = lo;
      clamped = true;
    } else if (field > hi) {
      field = hi;
      clamped = true;
    }
  };
  clamp(hour, 0, 23);
  clamp(minute, 0, 59);
  clamp(second, 0, 59);
  clamp(year, 1980, 2099);
  clamp(month, 1, 12);
  clamp(day, 1, 31);
  if (!clamped) return value;
  const uint32_t date = static_cast<uint32_t>(((year - 1980) << 9) | (month << 5) | day);
  const uint32_t time = static_cast<uint32_t>((hour << 11) | (minute << 5) | (second / 2));
  return (date << 16) | time;
}

int CompressedPercent(int64_t uncompressed, int64_t compressed) {
  if (uncompressed <= 0 || compressed <= 0) return 0;
  if (compressed >= uncompressed) return 100;
  const int64_t scaled = compressed * 100;
  int64_t q = scaled / uncompressed;
  const int64_t twice_r = 2 * (scaled % uncompressed);
  if (twice_r > uncompressed || (twice_r == uncompressed && (q & 1) != 0)) ++q;
  return static_cast<int>(std::min<int64_t>(q, 100));
}

uint32_t ExternalAttributesFromStat(const struct stat& st, std::string_view name) {
  const uint32_t mode = static_cast<uint32_t>(st.st_mode & 0xFFFF) << 16;
  if (S_ISDIR(st.st_mode)) return 0x20 | mode;
  std::string_view base = name;
  while (!base.empty() && base.back() == '/') base.remove_suffix(1);
  const size_t slash = base.rfind('/');
  if (slash != std::string_view::npos) base.remove_prefix(slash + 1);
  uint32_t dos = 0x20;
  if ((st.st_mode & S_IWUSR) == 0) dos |= 0x01;
  if (!base.empty() && base.front() == '.') dos |= 0x02;
  return dos | mode;
}

uint32_t DirectoryExternalAttributes(std::string_view) {
  return 0x20 | (static_cast<uint32_t>(S_IFDIR | 0755) << 16);
}

void CopyEntryData(TStream& from, TStream& to, TZipHeaderInfo& entry, std::span<uint8_t> scratch) {
  if (entry.CommentPending()) entry.FetchComment(from);
  const uint64_t file_size = from.Size();
  const uint64_t offset = entry.RelativeOffset;
  if (offset > file_size || file_size - offset < kLocalHeaderSize) throw EBadZipFile();
  from.Seek(static_cast<int64_t>(offset), soFromBeginning);
  uint8_t r[kLocalHeaderSize];
  if (from.Read(r, sizeof r) != sizeof r || GetLE32(r) != kLocalHeaderSignature)
    throw EBadZipFile();
  const uint16_t local_flags = GetLE16(r + 6);
  const uint64_t name_length = GetLE16(r + 26);
  const uint16_t extra_length = GetLE16(r + 28);
  const uint64_t extra_start = offset + kLocalHeaderSize + name_length;
  const uint64_t data_end = extra_start + extra_length + entry.CompressedSize;
  if (data_end > file_size) throw EBadZipFile();

  uint64_t descriptor = 0;
  if (((local_flags | entry.GeneralPurposeFlags) & kFlagDataDescriptor) != 0) {
    // 12 bytes (CRC, sizes) or 16 with the optional signature in front.
    uint8_t d[16] = {};
    const uint64_t available = std::min<uint64_t>(16, file_size - data_end);
    from.Seek(static_cast<int64_t>(data_end), soFromBeginning);
    if (from.Read(d, static_cast<size_t>(available)) != available || available < 12)
      throw EBadZipFile();
    const bool signature = GetLE32(d) == kDataDescriptorSignature;
    if (signature && available == 16 && GetLE32(d + 4) == entry.Crc32)
      descriptor = 16;
    else if (GetLE32(d) == entry.Crc32)
      descriptor = 12;
    else
      descriptor = signature && available == 16 ? 16 : 12;
  }

  entry.LocalExtraLength = extra_length;
  from.Seek(static_cast<int64_t>(extra_start), soFromBeginning);
  entry.SaveLocal(to);

  std::array<uint8_t, kCopyChunk> local_buffer;
  if (scratch.empty()) scratch = local_buffer;
  uint64_t remaining = extra_length + entry.CompressedSize + descriptor;
  while (remaining > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(remaining, scratch.size()));
    if (from.Read(scratch.data(), n) != n) throw EBadZipFile();
    to.WriteBuffer(scratch.data(), n);
    remaining -= n;
  }
}

}  // namespace tessel
