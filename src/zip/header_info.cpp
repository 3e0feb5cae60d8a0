#include "zip/header_info.h"

#include <algorithm>
#include <array>
#include <vector>

#include "platform/text.h"
#include "zip/archive_check.h"

namespace tessel {
namespace {

constexpr const char* kMsgNoLocalZip64 = "Entry too large for its local header: ";
constexpr size_t kCopyChunk = 32768;
// The shortest central header: an entry count above the central directory's
// size over this contradicts it.
constexpr uint64_t kMinCentralHeaderSize = kCentralHeaderSize;

bool HasHighByte(std::string_view s) {
  return std::any_of(s.begin(), s.end(), [](char c) { return static_cast<uint8_t>(c) >= 0x80; });
}

// The classic field's value: the marker when the value goes into ZIP64.
uint32_t Field32(uint64_t value, bool in_zip64) {
  return in_zip64 ? kZip64Marker32 : static_cast<uint32_t>(value);
}
uint16_t Field16(uint64_t value, bool in_zip64) {
  return in_zip64 ? kZip64Marker16 : static_cast<uint16_t>(value);
}

// Writes the ZIP64 extra field (tag, length, the named values in the order of
// the application note) at p; returns its size.
size_t PutZip64Extra(uint8_t* p, const TZip64Fields& fields, uint64_t uncompressed,
                     uint64_t compressed, uint64_t offset, uint32_t disk) {
  PutLE16(p, kZip64ExtraTag);
  PutLE16(p + 2, fields.DataSize());
  uint8_t* q = p + 4;
  for (const auto& [wanted, value] : {std::pair{fields.Uncompressed, uncompressed},
                                      std::pair{fields.Compressed, compressed},
                                      std::pair{fields.Offset, offset}}) {
    if (!wanted) continue;
    PutLE64(q, value);
    q += 8;
  }
  if (fields.Disk) {
    PutLE32(q, disk);
    q += 4;
  }
  return static_cast<size_t>(q - p);
}

// The data of the ZIP64 field among the blocks of an extra field (tag and
// length, then the data), or nullptr when there is none or a block runs past
// the end before it is found.
const uint8_t* FindZip64Extra(std::string_view extra, uint16_t& data_size) {
  const auto* p = reinterpret_cast<const uint8_t*>(extra.data());
  size_t at = 0;
  while (extra.size() - at >= 4) {
    const uint16_t tag = GetLE16(p + at);
    const uint16_t size = GetLE16(p + at + 2);
    if (size > extra.size() - at - 4) return nullptr;
    if (tag == kZip64ExtraTag) {
      data_size = size;
      return p + at + 4;
    }
    at += 4 + size;
  }
  return nullptr;
}

// Takes the named values from the ZIP64 field of `extra`, in their order;
// false when the field is missing or too short for them.
bool TakeZip64Values(std::string_view extra, const TZip64Fields& fields, uint64_t& uncompressed,
                     uint64_t& compressed, uint64_t& offset, uint32_t& disk) {
  uint16_t size = 0;
  const uint8_t* p = FindZip64Extra(extra, size);
  if (p == nullptr || size < fields.DataSize()) return false;
  for (auto [wanted, value] : {std::pair{fields.Uncompressed, &uncompressed},
                               std::pair{fields.Compressed, &compressed},
                               std::pair{fields.Offset, &offset}}) {
    if (!wanted) continue;
    *value = GetLE64(p);
    p += 8;
  }
  if (fields.Disk) disk = GetLE32(p);
  return true;
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
  LocalZip64 = false;
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
  LocalZip64 = s.LocalZip64;
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

TZip64Fields Zip64FieldsFor(uint64_t uncompressed, uint64_t compressed, uint64_t offset,
                            uint64_t disk) {
  TZip64Fields fields;
  fields.Uncompressed = uncompressed >= kZip64Marker32;
  fields.Compressed = compressed >= kZip64Marker32;
  fields.Offset = offset >= kZip64Marker32;
  fields.Disk = disk >= kZip64Marker16;
  return fields;
}

void TZipHeaderInfo::SetLocalZip64(bool on) {
  if (on == LocalZip64) return;
  LocalZip64 = on;
  if (on)
    LocalExtraLength = static_cast<uint16_t>(LocalExtraLength + kZip64LocalExtraSize);
  else
    LocalExtraLength = static_cast<uint16_t>(LocalExtraLength - kZip64LocalExtraSize);
}

TZip64Fields TZipHeaderInfo::LocalZip64Fields() const {
  // A local ZIP64 field holds both sizes, whichever of them needs it.
  TZip64Fields fields;
  fields.Uncompressed = fields.Compressed = LocalZip64;
  return fields;
}

TZip64Fields TZipHeaderInfo::CentralZip64Fields() const {
  return Zip64FieldsFor(UncompressedSize, CompressedSize, RelativeOffset, DiskNumberStart);
}

uint16_t TZipHeaderInfo::VersionNeededToWrite() const {
  return UsesZip64() ? std::max(VersionNeeded, kVersionZip64) : VersionNeeded;
}

uint16_t TZipHeaderInfo::VersionMadeByToWrite() const {
  if (!UsesZip64()) return VersionMadeBy;
  const uint16_t version = std::max<uint16_t>(VersionMadeBy & 0xFF, kVersionZip64);
  return static_cast<uint16_t>((VersionMadeBy & 0xFF00) | version);
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

std::string TZipHeaderInfo::NameToWrite() {
  std::string name = StoredNameBytes();
  if (raw_name_.empty()) {
    std::string coded;
    if (!EncodeStoredName(directory_ + filename_, GeneralPurposeFlags, VersionMadeBy, coded))
      GeneralPurposeFlags |= kFlagUtf8Name;
  }
  if (name.size() > kMaxStoredNameLength) throw Error("Entry name too long: " + name);
  return name;
}

void TZipHeaderInfo::SaveLocal(TStream& stream) {
  const std::string name = NameToWrite();
  if (!LocalZip64 && Zip64FieldsFor(UncompressedSize, CompressedSize, 0, 0).Any())
    throw Error(kMsgNoLocalZip64 + name);
  FilenameLength = static_cast<uint16_t>(name.size());
  RelativeOffset = stream.Position();
  uint8_t r[kLocalHeaderSize];
  PutLE32(r + 0, kLocalHeaderSignature);
  PutLE16(r + 4, VersionNeededToWrite());
  PutLE16(r + 6, GeneralPurposeFlags);
  PutLE16(r + 8, CompressionMethod);
  PutLE32(r + 10, LastModDateTime);
  PutLE32(r + 14, Crc32);
  PutLE32(r + 18, Field32(CompressedSize, LocalZip64));
  PutLE32(r + 22, Field32(UncompressedSize, LocalZip64));
  PutLE16(r + 26, FilenameLength);
  PutLE16(r + 28, LocalExtraLength);
  stream.WriteBuffer(r, sizeof r);
  stream.WriteBuffer(name.data(), name.size());
  if (LocalZip64) {
    uint8_t extra[kZip64LocalExtraSize];
    stream.WriteBuffer(extra, PutZip64Extra(extra, LocalZip64Fields(), UncompressedSize,
                                            CompressedSize, 0, 0));
  }
}

uint32_t TZipHeaderInfo::CentralSizeToWrite() const {
  // A rewrite loads a pending comment before it writes the header.
  const TZip64Fields zip64 = CentralZip64Fields();
  return kCentralHeaderSize + FilenameLength + (zip64.Any() ? 4u + zip64.DataSize() : 0u) + FileCommentLength;
}

void TZipHeaderInfo::SaveCentral(TStream& stream) {
  const std::string name = NameToWrite();
  FilenameLength = static_cast<uint16_t>(name.size());
  // The only extra field written here is ZIP64's, for the values that need
  // it; a comment is written only when its text is at hand, and the length
  // fields always tell what follows.
  const TZip64Fields zip64 = CentralZip64Fields();
  uint8_t extra[4 + 8 + 8 + 8 + 4];
  const size_t extra_length =
      zip64.Any() ? PutZip64Extra(extra, zip64, UncompressedSize, CompressedSize, RelativeOffset,
                                  DiskNumberStart)
                  : 0;
  CentralExtraLength = static_cast<uint16_t>(extra_length);
  const bool with_comment = FileCommentLength != 0 && file_comment_.has_value();
  const uint16_t comment_length = with_comment ? static_cast<uint16_t>(file_comment_->size()) : 0;
  uint8_t r[kCentralHeaderSize];
  PutLE32(r + 0, kCentralHeaderSignature);
  PutLE16(r + 4, VersionMadeByToWrite());
  PutLE16(r + 6, VersionNeededToWrite());
  PutLE16(r + 8, GeneralPurposeFlags);
  PutLE16(r + 10, CompressionMethod);
  PutLE32(r + 12, LastModDateTime);
  PutLE32(r + 16, Crc32);
  PutLE32(r + 20, Field32(CompressedSize, zip64.Compressed));
  PutLE32(r + 24, Field32(UncompressedSize, zip64.Uncompressed));
  PutLE16(r + 28, FilenameLength);
  PutLE16(r + 30, CentralExtraLength);
  PutLE16(r + 32, comment_length);
  PutLE16(r + 34, Field16(DiskNumberStart, zip64.Disk));
  PutLE16(r + 36, InternalAttributes);
  PutLE32(r + 38, ExternalAttributes);
  PutLE32(r + 42, Field32(RelativeOffset, zip64.Offset));
  stream.WriteBuffer(r, sizeof r);
  stream.WriteBuffer(name.data(), name.size());
  if (extra_length != 0) stream.WriteBuffer(extra, extra_length);
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
  LocalZip64 = false;
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
  const TZip64Fields zip64 =
      Zip64FieldsFor(GetLE32(r + 24), GetLE32(r + 20), GetLE32(r + 42), GetLE16(r + 34));
  std::string extra_bytes;
  if (zip64.Any()) {
    extra_bytes = ReadExactly(stream, extra, ok);
    if (!ok) return Fail(stream, start);
  } else if (extra != 0) {
    stream.Seek(extra, soFromCurrent);
  }
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
  if (zip64.Any() && !TakeZip64Values(extra_bytes, zip64, UncompressedSize, CompressedSize,
                                      RelativeOffset, DiskNumberStart))
    return Fail(stream, start);
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
  // The extra field is read only when there is one: the stream then steps
  // back to its start.
  const TZip64Fields zip64 = Zip64FieldsFor(GetLE32(r + 22), GetLE32(r + 18), 0, 0);
  if (LocalExtraLength != 0) {
    const uint64_t extra_start = stream.Position();
    const std::string extra = ReadExactly(stream, LocalExtraLength, ok);
    if (!ok) return Fail(stream, start);
    uint16_t size = 0;
    LocalZip64 = FindZip64Extra(extra, size) != nullptr;
    uint64_t offset = 0;
    uint32_t disk = 0;
    if (zip64.Any() && !TakeZip64Values(extra, zip64, UncompressedSize, CompressedSize, offset, disk))
      return Fail(stream, start);
    stream.Seek(static_cast<int64_t>(extra_start), soFromBeginning);
  } else if (zip64.Any()) {
    return Fail(stream, start);
  }
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

bool TEndCentral::NeedsZip64() const {
  return ThisDisk >= kZip64Marker16 || CentralStartDisk >= kZip64Marker16 ||
         EntriesThisDisk >= kZip64Marker16 || TotalEntries >= kZip64Marker16 ||
         CentralDirSize >= kZip64Marker32 || CentralDirOffset >= kZip64Marker32;
}

void TEndCentral::SaveToStream(TStream& stream) {
  if (NeedsZip64()) {
    const uint64_t zip64_end = stream.Position();
    uint8_t z[kZip64EndCentralSize + kZip64LocatorSize];
    PutLE32(z + 0, kZip64EndCentralSignature);
    PutLE64(z + 4, kZip64EndCentralCounted);
    PutLE16(z + 12, kVersionMadeByUnixZip64);
    PutLE16(z + 14, kVersionZip64);
    PutLE32(z + 16, ThisDisk);
    PutLE32(z + 20, CentralStartDisk);
    PutLE64(z + 24, EntriesThisDisk);
    PutLE64(z + 32, TotalEntries);
    PutLE64(z + 40, CentralDirSize);
    PutLE64(z + 48, CentralDirOffset);
    uint8_t* locator = z + kZip64EndCentralSize;
    PutLE32(locator + 0, kZip64LocatorSignature);
    PutLE32(locator + 4, ThisDisk);
    PutLE64(locator + 8, zip64_end);
    PutLE32(locator + 16, ThisDisk + 1);  // the number of disks
    stream.WriteBuffer(z, sizeof z);
  }
  const bool with_comment = ZipCommentLength != 0 && ZipComment.has_value();
  const uint16_t comment_length = with_comment ? static_cast<uint16_t>(ZipComment->size()) : 0;
  uint8_t r[kEndCentralSize];
  PutLE32(r + 0, kEndCentralSignature);
  PutLE16(r + 4, Field16(ThisDisk, ThisDisk >= kZip64Marker16));
  PutLE16(r + 6, Field16(CentralStartDisk, CentralStartDisk >= kZip64Marker16));
  PutLE16(r + 8, Field16(EntriesThisDisk, EntriesThisDisk >= kZip64Marker16));
  PutLE16(r + 10, Field16(TotalEntries, TotalEntries >= kZip64Marker16));
  PutLE32(r + 12, Field32(CentralDirSize, CentralDirSize >= kZip64Marker32));
  PutLE32(r + 16, Field32(CentralDirOffset, CentralDirOffset >= kZip64Marker32));
  PutLE16(r + 20, comment_length);
  stream.WriteBuffer(r, sizeof r);
  if (with_comment) stream.WriteBuffer(ZipComment->data(), comment_length);
}

bool TEndCentral::ReadZip64Records(TStream& stream) {
  const bool counts_marked = EntriesThisDisk == kZip64Marker16 || TotalEntries == kZip64Marker16;
  const bool others_marked = ThisDisk == kZip64Marker16 || CentralStartDisk == kZip64Marker16 ||
                             CentralDirSize == kZip64Marker32 || CentralDirOffset == kZip64Marker32;
  if (!counts_marked && !others_marked) return true;
  const uint64_t end_record = ZipCommentPos - kEndCentralSize;
  uint8_t locator[kZip64LocatorSize];
  bool have_locator = false;
  if (ZipCommentPos >= kEndCentralSize && end_record >= kZip64LocatorSize) {
    stream.Seek(static_cast<int64_t>(end_record - kZip64LocatorSize), soFromBeginning);
    have_locator = stream.Read(locator, sizeof locator) == sizeof locator &&
                   GetLE32(locator) == kZip64LocatorSignature;
  }
  // A classic writer may fill the 16-bit counts exactly; a full disk number,
  // size or offset without a locator is damage.
  if (!have_locator) return !others_marked;

  const uint64_t locator_at = end_record - kZip64LocatorSize;
  const uint64_t zip64_end = GetLE64(locator + 8);
  if (zip64_end > locator_at || locator_at - zip64_end < kZip64EndCentralSize) return false;
  uint8_t z[kZip64EndCentralSize];
  stream.Seek(static_cast<int64_t>(zip64_end), soFromBeginning);
  if (stream.Read(z, sizeof z) != sizeof z || GetLE32(z) != kZip64EndCentralSignature) return false;
  const uint64_t counted = GetLE64(z + 4);
  if (counted < kZip64EndCentralCounted || counted > locator_at - zip64_end - 12) return false;
  const uint32_t this_disk = GetLE32(z + 16);
  const uint32_t start_disk = GetLE32(z + 20);
  const uint64_t entries_here = GetLE64(z + 24);
  const uint64_t total = GetLE64(z + 32);
  const uint64_t size = GetLE64(z + 40);
  const uint64_t offset = GetLE64(z + 48);
  // Each classic field holds its marker or the same value.
  auto agrees = [](uint64_t classic, uint64_t marker, uint64_t wide) {
    return classic == marker || classic == wide;
  };
  if (!agrees(ThisDisk, kZip64Marker16, this_disk) ||
      !agrees(CentralStartDisk, kZip64Marker16, start_disk) ||
      !agrees(EntriesThisDisk, kZip64Marker16, entries_here) ||
      !agrees(TotalEntries, kZip64Marker16, total) ||
      !agrees(CentralDirSize, kZip64Marker32, size) ||
      !agrees(CentralDirOffset, kZip64Marker32, offset))
    return false;
  // The locator names the disk of the record; a single volume holds every
  // entry; the directory lies before the record and holds at least one
  // header's worth of bytes per entry.
  if (GetLE32(locator + 4) != this_disk || entries_here > total ||
      (this_disk == 0 && entries_here != total) || offset > zip64_end ||
      size > zip64_end - offset || total > size / kMinCentralHeaderSize)
    return false;
  ThisDisk = this_disk;
  CentralStartDisk = start_disk;
  EntriesThisDisk = entries_here;
  TotalEntries = total;
  CentralDirSize = size;
  CentralDirOffset = offset;
  return true;
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

int PercentOf(int64_t part, int64_t whole) {
  if (whole <= 0 || part <= 0) return 0;
  if (part >= whole) return 100;
  // part < whole keeps 100 * part well inside 64 bits for any real size.
  const int64_t scaled = part * 100;
  int64_t quotient = scaled / whole;
  const int64_t twice_rest = (scaled % whole) * 2;
  if (twice_rest > whole || (twice_rest == whole && (quotient & 1) != 0)) ++quotient;
  return static_cast<int>(std::min<int64_t>(quotient, 100));
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

namespace {

// The length of the data descriptor that follows an entry's data, from the
// `available` bytes at d (at most 24): the layout that MatchingDescriptorLength
// finds, else the one that the signature and the local header suggest. 0
// when the file ends too soon for it.
uint64_t DescriptorLength(const uint8_t* d, uint64_t available, const TZipHeaderInfo& entry,
                          bool wide_sizes) {
  if (const uint64_t length = MatchingDescriptorLength(d, available, entry, wide_sizes); length != 0)
    return length;
  const uint64_t guess = (available >= 4 && GetLE32(d) == kDataDescriptorSignature ? 4 : 0) + 4 +
                         (wide_sizes ? 16 : 8);
  return available >= guess ? guess : 0;
}

}  // namespace

uint64_t MatchingDescriptorLength(const uint8_t* d, uint64_t available, const TZipHeaderInfo& entry,
                                  bool wide_sizes) {
  struct Layout {
    bool Signature;
    bool Wide;
  };
  const Layout order[4] = {{true, wide_sizes}, {false, wide_sizes}, {true, !wide_sizes},
                           {false, !wide_sizes}};
  for (const Layout& layout : order) {
    const uint64_t length = (layout.Signature ? 4 : 0) + 4 + (layout.Wide ? 16 : 8);
    if (available < length) continue;
    const uint8_t* p = d;
    if (layout.Signature) {
      if (GetLE32(p) != kDataDescriptorSignature) continue;
      p += 4;
    }
    if (GetLE32(p) != entry.Crc32) continue;
    const uint64_t compressed = layout.Wide ? GetLE64(p + 4) : GetLE32(p + 4);
    const uint64_t uncompressed = layout.Wide ? GetLE64(p + 12) : GetLE32(p + 8);
    if (compressed == entry.CompressedSize && uncompressed == entry.UncompressedSize) return length;
  }
  return 0;
}

void CopyEntryData(TStream& from, TStream& to, TZipHeaderInfo& entry, std::span<uint8_t> scratch,
                   TEntryCheck* check, const std::function<void()>& after_block) {
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
  // Every bound is checked without a sum that could wrap: the sizes come from
  // the archive and may be anything up to 2^64 - 1.
  const uint64_t extra_start = offset + kLocalHeaderSize + name_length;
  if (extra_start > file_size || file_size - extra_start < extra_length) throw EBadZipFile();
  const uint64_t data_start = extra_start + extra_length;
  if (entry.CompressedSize > file_size - data_start) throw EBadZipFile();
  const uint64_t data_end = data_start + entry.CompressedSize;

  from.Seek(static_cast<int64_t>(extra_start), soFromBeginning);
  std::string extra(extra_length, '\0');
  if (extra_length != 0 && from.Read(extra.data(), extra.size()) != extra.size()) throw EBadZipFile();
  // The old ZIP64 field goes; every other field is kept in its order.
  uint16_t zip64_size = 0;
  const uint8_t* zip64 = FindZip64Extra(extra, zip64_size);
  const bool had_zip64 = zip64 != nullptr;
  if (had_zip64) {
    const size_t at = static_cast<size_t>(zip64 - reinterpret_cast<const uint8_t*>(extra.data())) - 4;
    extra.erase(at, 4 + size_t{zip64_size});
  }
  const bool local_zip64 =
      had_zip64 || Zip64FieldsFor(entry.UncompressedSize, entry.CompressedSize, 0, 0).Any();
  if (extra.size() + (local_zip64 ? kZip64LocalExtraSize : 0) > 0xFFFF) throw EBadZipFile();

  uint64_t descriptor = 0;
  if (((local_flags | entry.GeneralPurposeFlags) & kFlagDataDescriptor) != 0) {
    uint8_t d[24] = {};
    const uint64_t available = std::min<uint64_t>(sizeof d, file_size - data_end);
    from.Seek(static_cast<int64_t>(data_end), soFromBeginning);
    if (from.Read(d, static_cast<size_t>(available)) != available) throw EBadZipFile();
    descriptor = DescriptorLength(d, available, entry, had_zip64);
    if (descriptor == 0) throw EBadZipFile();
  }

  entry.LocalZip64 = false;
  entry.LocalExtraLength = static_cast<uint16_t>(extra.size());
  entry.SetLocalZip64(local_zip64);
  entry.SaveLocal(to);
  if (!extra.empty()) to.WriteBuffer(extra.data(), extra.size());

  from.Seek(static_cast<int64_t>(data_start), soFromBeginning);
  std::array<uint8_t, kCopyChunk> local_buffer;
  if (scratch.empty()) scratch = local_buffer;
  uint64_t remaining = entry.CompressedSize + descriptor;
  while (remaining > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(remaining, scratch.size()));
    if (from.Read(scratch.data(), n) != n) throw EBadZipFile();
    to.WriteBuffer(scratch.data(), n);
    if (check != nullptr) {
      // The data goes to the check, the descriptor behind it does not.
      const uint64_t data_left = remaining > descriptor ? remaining - descriptor : 0;
      check->Feed(scratch.data(), static_cast<size_t>(std::min<uint64_t>(n, data_left)));
      if (check->Failed()) return;
    }
    remaining -= n;
    if (after_block) after_block();
  }
}

}  // namespace tessel
