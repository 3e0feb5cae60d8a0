#pragma once
// The records of a zip file: the local and central headers in memory
// (TZipHeaderInfo), the end of central directory record (TEndCentral), the
// ZIP64 extensions of both for values past the classic 16- and 32-bit fields,
// the DOS time stamp repair, stored-name coding, and copying an entry of an
// old archive into a new one.
#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "zip/buffer_stream.h"

namespace tessel {

// Signatures as 32-bit little-endian values.
inline constexpr uint32_t kLocalHeaderSignature = 0x04034B50u;
inline constexpr uint32_t kCentralHeaderSignature = 0x02014B50u;
inline constexpr uint32_t kEndCentralSignature = 0x06054B50u;
inline constexpr uint32_t kDataDescriptorSignature = 0x08074B50u;
inline constexpr uint32_t kZip64EndCentralSignature = 0x06064B50u;
inline constexpr uint32_t kZip64LocatorSignature = 0x07064B50u;

inline constexpr uint32_t kLocalHeaderSize = 30;
inline constexpr uint32_t kCentralHeaderSize = 46;
inline constexpr uint32_t kEndCentralSize = 22;
// 22 bytes of record plus the longest possible comment.
inline constexpr uint32_t kEndCentralSearchSize = kEndCentralSize + 65535;
// The ZIP64 end of central directory record without an extensible data
// sector, the part of it that its size field counts, and its locator.
inline constexpr uint32_t kZip64EndCentralSize = 56;
inline constexpr uint64_t kZip64EndCentralCounted = kZip64EndCentralSize - 12;
inline constexpr uint32_t kZip64LocatorSize = 20;
// The ZIP64 extended information extra field: its tag, and its whole size in
// a local header, where it holds both sizes.
inline constexpr uint16_t kZip64ExtraTag = 0x0001;
inline constexpr uint16_t kZip64LocalExtraSize = 4 + 8 + 8;
// A classic field holding this value says that the true value stands in a
// ZIP64 record; so does a value that does not fit, and both switch there.
inline constexpr uint32_t kZip64Marker32 = 0xFFFFFFFFu;
inline constexpr uint16_t kZip64Marker16 = 0xFFFF;

inline constexpr uint16_t kFlagEncrypted = 0x0001;
inline constexpr uint16_t kFlagDataDescriptor = 0x0008;
inline constexpr uint16_t kFlagUtf8Name = 0x0800;

inline constexpr uint16_t kVersion20 = 20;
// The version that reads the ZIP64 records (4.5).
inline constexpr uint16_t kVersionZip64 = 45;
// Host 3 (Unix) in the high byte, version 2.0 in the low byte.
inline constexpr uint16_t kVersionMadeByUnix = 0x0314;
// The ZIP64 end record is made by host 3 (Unix) at version 4.5.
inline constexpr uint16_t kVersionMadeByUnixZip64 = 0x032D;
inline constexpr uint8_t kHostUnix = 3;

inline constexpr size_t kMaxStoredNameLength = 65535;

// The values of one record that go into its ZIP64 extended information extra
// field, in the field's order: those that do not fit their classic field (a
// size or offset at or above 0xFFFFFFFF, a disk number at or above 0xFFFF).
// Applied to the raw classic fields of a record read from an archive, the
// same rule names the values that its ZIP64 field holds.
struct TZip64Fields {
  bool Uncompressed = false;
  bool Compressed = false;
  bool Offset = false;
  bool Disk = false;

  bool Any() const { return Uncompressed || Compressed || Offset || Disk; }
  // Bytes of the field's data (without its tag and length).
  uint16_t DataSize() const {
    return static_cast<uint16_t>(8 * (Uncompressed + Compressed + Offset) + (Disk ? 4 : 0));
  }
  bool operator==(const TZip64Fields&) const = default;
};
TZip64Fields Zip64FieldsFor(uint64_t uncompressed, uint64_t compressed, uint64_t offset,
                            uint64_t disk);

// Base of objects that copy their values from one another; ClassName names
// the class in list error texts.
class TPersistent {
public:
  virtual ~TPersistent() = default;
  virtual const char* ClassName() const { return "TPersistent"; }
};

// One archive entry with every local and central header field. The name is
// held as Directory (empty or ending in "/") plus Filename, UTF-8 in memory.
// Sizes and offsets are 64-bit here; a value that does not fit its classic
// field goes into the record's ZIP64 extra field (see TZip64Fields).
class TZipHeaderInfo : public TPersistent {
public:
  TZipHeaderInfo() { Clear(); }
  TZipHeaderInfo(const TZipHeaderInfo& other) : TPersistent() { Clear(); CopyValuesFrom(other); }
  TZipHeaderInfo& operator=(const TZipHeaderInfo& other) {
    if (this != &other) CopyValuesFrom(other);
    return *this;
  }
  const char* ClassName() const override { return "TZipHeaderInfo"; }

  uint16_t VersionMadeBy;
  uint16_t VersionNeeded;
  uint16_t GeneralPurposeFlags;
  uint16_t CompressionMethod;
  uint32_t LastModDateTime;
  uint32_t Crc32;
  uint64_t CompressedSize;
  uint64_t UncompressedSize;
  uint16_t FilenameLength;  // byte length of the stored name
  uint16_t CentralExtraLength;
  uint16_t LocalExtraLength;
  uint16_t FileCommentLength;
  uint16_t InternalAttributes;
  // The local header holds a ZIP64 field with both sizes (LocalExtraLength
  // counts it); its classic size fields then hold 0xFFFFFFFF.
  bool LocalZip64;
  uint32_t DiskNumberStart;
  uint32_t ExternalAttributes;
  uint64_t RelativeOffset;
  uint64_t CentralOffset;
  // [1] == 2 drops the entry on rewrite, [2] selects it for deletion.
  std::array<uint8_t, 3> StatusBytes;

  // Defaults: version 20/20, method 8, CRC 0xFFFFFFFF, internal attributes 1,
  // external 0x20, everything else 0 or empty, no comment.
  void Clear();
  // Copies every field and the status bytes; the comment only when the source
  // has a non-zero length and a text (otherwise this comment stays); the raw
  // stored name bytes go with the name.
  void CopyValuesFrom(const TZipHeaderInfo& source);

  const std::string& Filename() const { return filename_; }
  const std::string& Directory() const { return directory_; }
  // Directory + Filename.
  std::string FullName() const { return directory_ + filename_; }
  // Store a part when it differs and recompute FilenameLength. SetDirectory
  // appends "/" to a non-empty text that lacks it.
  void SetFilename(std::string_view name);
  void SetDirectory(std::string_view directory);
  // Splits a full name at its last "/" into Directory and Filename.
  void SetFullName(std::string_view name);

  // Comments are raw bytes (NUL bytes included), never code-page converted.
  const std::optional<std::string>& FileComment() const { return file_comment_; }
  // Replaces the text; FileCommentLength = its length (0 for none). A text
  // longer than 65535 bytes keeps its first 65535.
  void SetFileComment(std::optional<std::string> comment);
  bool HasComment() const { return FileCommentLength != 0; }
  // FileCommentLength is non-zero but the text has not been read yet.
  bool CommentPending() const { return FileCommentLength != 0 && !file_comment_; }

  bool HasDataDescriptor() const { return (GeneralPurposeFlags & kFlagDataDescriptor) != 0; }

  // Gives the local header the ZIP64 field or takes it away; LocalExtraLength
  // follows.
  void SetLocalZip64(bool on);
  // The values in the ZIP64 field of the local header (both sizes or none)
  // and of the central header (those that do not fit, with RelativeOffset as
  // it stands).
  TZip64Fields LocalZip64Fields() const;
  TZip64Fields CentralZip64Fields() const;
  // Either header of the entry has a ZIP64 field.
  bool UsesZip64() const { return LocalZip64 || CentralZip64Fields().Any(); }
  // The version fields as written: at least 4.5 when the entry uses ZIP64
  // (version made by keeps its host byte), else as held.
  uint16_t VersionNeededToWrite() const;
  uint16_t VersionMadeByToWrite() const;
  uint32_t LocalSize() const { return kLocalHeaderSize + FilenameLength + LocalExtraLength; }
  uint32_t CentralSize() const {
    return kCentralHeaderSize + FilenameLength + CentralExtraLength + FileCommentLength;
  }
  // The length of the central header that SaveCentral writes for the entry.
  uint32_t CentralSizeToWrite() const;

  // The bytes written as the entry's name: the bytes read from an archive
  // while the name is unchanged, else the name coded for the entry's flag
  // and host (UTF-8 with bit 11 or from a Unix host, else CP866; a name that
  // CP866 cannot hold gets bit 11 and UTF-8 at save time).
  std::string StoredNameBytes() const;
  // The name as a header stores it; sets the UTF-8 flag when the name cannot
  // be written otherwise and refuses a name too long for the header.
  std::string NameToWrite();
  // The raw bytes read from the archive (empty for a new entry or after the
  // name was changed).
  const std::string& RawStoredName() const { return raw_name_; }
  // Sets flag bit 11 when the name holds a byte of 0x80 or above and is
  // valid UTF-8 (new entries); other names keep their bytes without it.
  void MarkUtf8NameIfNeeded();

  // Writes the 30-byte local header, the stored name and, with LocalZip64,
  // the ZIP64 field at the stream's current position, which becomes
  // RelativeOffset. Throws ENotEnoughRoom / EHostError on a short write, and
  // tessel::Error when a size does not fit and the header has no ZIP64 field
  // (its length is fixed once written, so it is never saved wrong).
  void SaveLocal(TStream& stream);
  // Writes the 46-byte central header, the stored name, the ZIP64 field when
  // a value needs it (CentralExtraLength then counts it, else 0) and the
  // comment (when FileCommentLength is non-zero and a text is present).
  void SaveCentral(TStream& stream);

  // Takes the values of a 46-byte central record and its stored name bytes.
  void SetFromCentral(const uint8_t* record, std::string_view stored_name);
  // Takes the values of a 30-byte local record and its stored name bytes.
  void SetFromLocal(const uint8_t* record, std::string_view stored_name);

  // Reads a central header at the stream's position, with the values of its
  // ZIP64 field where its classic fields hold 0xFFFFFFFF (0xFFFF). On success
  // the stream stands after the header's name, extra field and comment,
  // CentralOffset is the header's position, CentralExtraLength is 0, and the
  // comment is read too when load_comment is set. On failure (a marked value
  // missing from the extra field included) returns false and restores the
  // position.
  bool ReadCentral(TStream& stream, bool load_comment = false);
  // Reads a local header and its name, the sizes from its ZIP64 field where
  // they are marked; LocalZip64 tells whether it has one. On success the
  // stream stands before the local extra field and RelativeOffset is the
  // header's position. On failure returns false and restores the position.
  bool ReadLocal(TStream& stream);
  // Loads a pending comment from the central header at CentralOffset; true
  // when the comment is now present (or there is none).
  bool FetchComment(TStream& stream);

private:
  void UpdateNameLength();
  // Takes the stored bytes of a name read from an archive.
  void AssignStoredName(std::string_view stored);

  std::string filename_;
  std::string directory_;
  std::string raw_name_;
  std::optional<std::string> file_comment_;
};

// The end of central directory record with the archive comment.
class TEndCentral : public TPersistent {
public:
  TEndCentral() { Clear(); }
  TEndCentral(const TEndCentral& other) : TPersistent() { Clear(); CopyValuesFrom(other); }
  TEndCentral& operator=(const TEndCentral& other) {
    if (this != &other) CopyValuesFrom(other);
    return *this;
  }
  const char* ClassName() const override { return "TEndCentral"; }

  uint32_t Signature;
  uint32_t ThisDisk;
  uint32_t CentralStartDisk;
  uint64_t EntriesThisDisk;
  uint64_t TotalEntries;
  uint64_t CentralDirSize;
  uint64_t CentralDirOffset;
  uint16_t ZipCommentLength;
  std::optional<std::string> ZipComment;  // raw bytes, NUL bytes included
  uint64_t ZipCommentPos;                  // file offset of the comment
  bool CommentModified;

  // Signature set, every number 0, no comment, flag clear.
  void Clear();
  // Copies the record fields and ZipCommentPos; the comment text only when
  // the source has a non-zero length and a text (the length then follows it).
  void CopyValuesFrom(const TEndCentral& source);
  bool HasComment() const { return ZipCommentLength != 0; }
  // Replaces the text; ZipCommentLength = its length (at most 65535 bytes kept).
  void SetComment(std::optional<std::string> comment);
  // The classic record and its comment (a ZIP64 end record and locator in
  // front of it not counted).
  uint32_t EndRecordSize() const { return kEndCentralSize + ZipCommentLength; }
  // A count, size, offset or disk number does not fit the classic record.
  bool NeedsZip64() const;
  // Writes, when NeedsZip64, the ZIP64 end record and its locator, then the
  // 22 bytes (0xFFFF / 0xFFFFFFFF in each field that does not fit) and the
  // whole comment (when its length is not 0 and a text is present). Throws
  // ENotEnoughRoom / EHostError on a short write.
  void SaveToStream(TStream& stream);
  // Finds the end record within the last 65557 bytes (the match nearest the
  // end wins) and takes its fields; ZipCommentPos = match + 22. An empty
  // stream gives true with the cleared values; 1 to 21 bytes give false.
  // ZIP64 records are not looked at here (ReadZip64Records).
  bool LocateAndRead(TStream& stream);
  // After LocateAndRead: when a field of the classic record holds 0xFFFF or
  // 0xFFFFFFFF, takes the values of the ZIP64 end record that the locator in
  // front of it names. No marked field, or only marked counts and no locator
  // (a classic archive of exactly 65535 entries), leave the record as it is.
  // False when the ZIP64 records are damaged: a marked size or offset without
  // a locator, a locator or record outside the file or without its
  // signature, or values that contradict the classic record or each other.
  bool ReadZip64Records(TStream& stream);
  // Loads a pending comment from ZipCommentPos; true when it is now present
  // (or there is none). Does not change CommentModified.
  bool FetchComment(TStream& stream);
};

// Repairs a DOS date-time field by field: hour <= 23, minute and second <= 59,
// year 1980..2099, month 1..12, day 1..31. Unchanged values come back bit for
// bit; otherwise the value is re-encoded from the clamped fields.
uint32_t RepairDosDateTime(uint32_t value);

// The percentage of part in whole, the one rounding of every percentage the
// engine gives (progress and compression rate): 100 * part / whole rounded
// half to even and capped at 100; 0 when whole <= 0 or part <= 0.
int PercentOf(int64_t part, int64_t whole);

// The in-memory UTF-8 name ("/" separators) of stored name bytes for an
// entry's flag and version-made-by: bit 11 or a Unix host take the bytes as
// they are; other hosts decode CP866 and treat "\" as a separator.
std::string DecodeStoredName(std::string_view stored, uint16_t flags, uint16_t version_made_by);
// The stored bytes of an in-memory name for the flag and host; false when
// CP866 cannot hold a character (out then holds nothing useful).
bool EncodeStoredName(std::string_view name, uint16_t flags, uint16_t version_made_by,
                      std::string& out);

// External attributes of a new entry: the DOS word in the low byte (0x01 when
// the owner may not write, 0x02 when the name's last part begins with ".",
// 0x20 for regular files and folders) and st_mode in the high 16 bits.
uint32_t ExternalAttributesFromStat(const struct stat& st, std::string_view name);
// The same for a folder whose mode could not be read (040755).
uint32_t DirectoryExternalAttributes(std::string_view name);

class TEntryCheck;

// The length of the data descriptor in the `available` bytes at d (at most
// 24) whose CRC-32 and sizes agree with the entry: with or without its
// signature, with 8-byte sizes (tried first when wide_sizes) or 4-byte ones;
// 0 when no layout agrees.
uint64_t MatchingDescriptorLength(const uint8_t* d, uint64_t available, const TZipHeaderInfo& entry,
                                  bool wide_sizes);

// Copies an entry of an old archive into a new one: fetches a pending
// comment, checks the old local header's signature and that its name, extra
// field, data and (flag bit 3) data descriptor lie inside the old file, writes
// a local header built from the entry's central values with SaveLocal (the
// new RelativeOffset), then copies the old local extra field, the data and
// the data descriptor (12 or 16 bytes, 20 or 24 with 8-byte sizes) byte for
// byte. The local header keeps a ZIP64 field when the old one had one, and
// gets one when a size needs it; the old ZIP64 field itself is replaced by
// one with the entry's values, every other extra field is copied as it was.
// LocalExtraLength is the length so written. Damage raises EBadZipFile "Это
// не Zip файл!"; short writes ENotEnoughRoom / EHostError. `scratch` is the
// copy buffer (a small internal one when empty). `check`, when given and
// begun on the entry, is fed the data as it is copied; the copy stops early
// once it has found a fault, and its Finish tells the outcome. `after_block`,
// when set, is called after each block copied (it may throw to end the copy:
// a stop).
void CopyEntryData(TStream& from, TStream& to, TZipHeaderInfo& entry,
                   std::span<uint8_t> scratch = {}, TEntryCheck* check = nullptr,
                   const std::function<void()>& after_block = {});

// Little-endian field access for record buffers.
inline uint16_t GetLE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetLE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void PutLE16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
inline uint64_t GetLE64(const uint8_t* p) {
  return static_cast<uint64_t>(GetLE32(p)) | (static_cast<uint64_t>(GetLE32(p + 4)) << 32);
}
inline void PutLE64(uint8_t* p, uint64_t v) {
  PutLE32(p, static_cast<uint32_t>(v));
  PutLE32(p + 4, static_cast<uint32_t>(v >> 32));
}

}  // namespace tessel
