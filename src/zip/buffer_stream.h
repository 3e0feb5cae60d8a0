#pragma once
// Streams: the abstract TStream, a stream over a POSIX file descriptor, the
// buffered TS_BufferStream in front of any stream, and TLFNFileStream, the
// buffered stream over a file opened by name through which the engine reads
// and writes every archive and source file.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/errors.h"
#include "zip/zip_errors.h"

namespace tessel {

// Seek origins, as numbers so that an invalid one can be reported.
inline constexpr int soFromBeginning = 0;
inline constexpr int soFromCurrent = 1;
inline constexpr int soFromEnd = 2;

// A byte stream with 64-bit positions. Read returns fewer bytes than asked
// only at the end of the data; Write returns fewer bytes than given when the
// medium refuses them (LastError() then tells why).
class TStream {
public:
  virtual ~TStream() = default;
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  virtual size_t Read(void* buffer, size_t count) = 0;
  virtual size_t Write(const void* buffer, size_t count) = 0;
  // Moves to a new position and returns it. Origin: soFromBeginning,
  // soFromCurrent, soFromEnd (offset counted back from the end, see
  // TS_BufferStream::Seek for the sign rule).
  virtual uint64_t Seek(int64_t offset, int origin) = 0;
  // The size in bytes; the default is built on Seek and restores the position.
  virtual uint64_t Size();
  // errno of the last failed write (0 when no host error was seen, for
  // example a stream that simply accepts no more bytes).
  virtual int LastError() const { return 0; }
  // A name for error texts (the path for file streams).
  virtual std::string Name() const { return std::string(); }

  uint64_t Position() { return Seek(0, soFromCurrent); }
  void SetPosition(uint64_t position) { Seek(static_cast<int64_t>(position), soFromBeginning); }
  // Reads exactly count bytes or throws EStreamError "Stream read error".
  void ReadBuffer(void* buffer, size_t count);
  // Writes every byte or throws: ENotEnoughRoom when the medium is full
  // (ENOSPC, EDQUOT, or a short write without a host error), EHostError
  // "Cannot write <name>: <strerror>" for any other host error.
  void WriteBuffer(const void* buffer, size_t count);
};

// Raises the error that a short write of `stream` stands for (see WriteBuffer).
[[noreturn]] void ThrowShortWrite(const TStream& stream);
// True for the errno values that mean "the medium is full".
bool IsOutOfSpaceError(int error_number);

// A stream over a POSIX file descriptor with 64-bit offsets. Reads and writes
// retry after EINTR and partial transfers; a read interrupted by a signal
// first calls OnInterrupted, which may end it by throwing (a stop asked for
// by the signal). A failed read or seek raises
// EHostError ("Cannot read <path>: ..."/"Cannot seek <path>: ..."); a failed
// write returns the bytes written so far and keeps errno in LastError().
class TFileHandleStream : public TStream {
public:
  // Takes ownership of fd when owns_fd is true (closed in the destructor).
  TFileHandleStream(int fd, std::string path, bool owns_fd = true);
  ~TFileHandleStream() override;

  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  uint64_t Seek(int64_t offset, int origin) override;
  uint64_t Size() override;
  int LastError() const override { return last_error_; }
  std::string Name() const override { return path_; }

  int Fd() const { return fd_; }
  const std::string& Path() const { return path_; }
  // Called when a signal interrupts a read; the read goes on when it returns.
  std::function<void()> OnInterrupted;
  // fsync; false (errno in LastError) when it fails.
  bool Sync();
  // Closes the descriptor now; false (errno in LastError) when close fails.
  bool Close();

private:
  int fd_;
  std::string path_;
  bool owns_fd_;
  int last_error_ = 0;
};

// A stream over bytes in memory. WriteLimit, when set, caps the size the
// data may reach: a write past it is cut short and LastError() reports
// ENOSPC (a full medium in tests and in-memory checks).
class TMemoryStream : public TStream {
public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::string data) : data_(std::move(data)) {}

  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  // Positions past the end are allowed; a later write fills the gap with 0.
  uint64_t Seek(int64_t offset, int origin) override;
  uint64_t Size() override { return data_.size(); }
  int LastError() const override { return last_error_; }
  std::string Name() const override { return "memory"; }

  const std::string& Data() const { return data_; }
  std::string& Data() { return data_; }
  uint64_t WriteLimit = UINT64_MAX;

private:
  std::string data_;
  uint64_t position_ = 0;
  int last_error_ = 0;
};

// Puts one memory buffer in front of another stream. See the member
// functions for the fill, flush, read, write and seek rules.
class TS_BufferStream : public TStream {
public:
  static constexpr size_t kDefaultBufferSize = 131072;
  enum : int { bsIdle = 0, bsReading = 1, bsWriting = 2 };

  // Buffers `underlying` (not owned).
  TS_BufferStream(TStream* underlying, size_t buffer_size = kDefaultBufferSize);
  // Buffers a stream that this object owns.
  TS_BufferStream(std::unique_ptr<TStream> underlying, size_t buffer_size = kDefaultBufferSize);
  // Flushes pending bytes (errors are lost here: call Finish first to see
  // them), syncs when SyncOnClose is set and anything was written.
  ~TS_BufferStream() override;

  // Delivers up to count bytes; fewer only at the end of the underlying data.
  // Pending written bytes are flushed first.
  size_t Read(void* buffer, size_t count) override;
  // Takes bytes into the buffer, flushing it when full; returns fewer bytes
  // than given when a flush fell short (LastError tells why).
  size_t Write(const void* buffer, size_t count) override;
  // Origin 2 counts |offset| back from the larger of the logical position and
  // the underlying size. A target equal to the current position changes
  // nothing; a target inside the bytes read ahead just moves in the buffer;
  // any other target flushes (EStreamError "Seek error" when that falls
  // short) and repositions the underlying stream. Other origins raise
  // EStreamError "Invalid seek origin (%d)".
  uint64_t Seek(int64_t offset, int origin) override;
  // The underlying size, or more when pending bytes reach beyond it; no side
  // effect on the position or the buffer.
  uint64_t Size() override;
  int LastError() const override;
  std::string Name() const override;

  // Reads ahead into the buffer; true when at least one byte came.
  virtual bool Fill();
  // Writes the pending bytes; true when all of them were taken.
  virtual bool Flush();
  // Steps back one byte and stores `byte` there; EStreamError "Putback
  // overflow" at the start of the buffer or when nothing was read.
  virtual void PutBack(uint8_t byte);

  // One byte, or -1 at the end of the data (fast path for signature scans).
  int ReadByte() {
    if (state_ == bsReading && cur_ < end_) return *cur_++;
    return ReadByteSlow();
  }

  // Flushes pending bytes and, when SyncOnClose is set and anything was
  // written, asks the system to put the file on disk. False when a write or
  // the sync failed (LastError tells why). The destructor does the same
  // silently.
  bool Finish();

  int BufferState() const { return state_; }
  size_t BufferSize() const { return size_; }
  bool WasWritten() const { return written_; }
  TStream* Underlying() const { return underlying_; }

  // Flush the file to disk on Finish/destruction (streams opened for writing
  // take it from the engine's FlushFilesOnClose).
  bool SyncOnClose = false;
  // Notifications after each fill and each flush; nothing is attached by default.
  std::function<void(TS_BufferStream&)> OnFill;
  std::function<void(TS_BufferStream&)> OnFlush;

protected:
  // fsync hook for Finish; the plain buffer knows no file and reports success.
  virtual bool SyncUnderlying() { return true; }
  // Writes pending bytes, drops the bytes read ahead and leaves the
  // underlying stream at the logical position; false when the flush fell short.
  bool Invalidate();

private:
  int ReadByteSlow();
  uint64_t LogicalPosition();
  uint64_t UnderlyingPosition();
  void StartWriting(bool reposition);

  std::unique_ptr<TStream> owned_;
  TStream* underlying_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t size_;
  uint8_t* cur_ = nullptr;  // nullptr: unset
  uint8_t* end_;
  int state_ = bsIdle;
  bool written_ = false;
  bool needs_sync_ = false;
  int last_error_ = 0;
  // The underlying stream's position as this buffer left it (-1: unknown).
  int64_t under_pos_ = -1;
};

// How TLFNFileStream opens its file.
enum class TFileOpenMode {
  fmOpenRead,       // existing file, read only (archives)
  fmOpenReadWrite,  // existing file, read and write
  fmCreate,         // create or truncate, read and write (O_CREAT|O_TRUNC)
  fmOpenSource,     // source file: read only, O_NONBLOCK, must be a regular file
};

// Raised by fmOpenSource when the path is not a regular file (a FIFO, socket,
// device or folder): such files hold no data to back up and are left out.
class ENotRegularFile : public EHostError {
public:
  explicit ENotRegularFile(const std::string& path)
      : EHostError("Cannot open " + path + ": not a regular file", 0) {}
};

// A wrapper put between the file and the buffer (fault injection in tests).
using TStreamWrapper = std::function<std::unique_ptr<TStream>(std::unique_ptr<TStream>)>;

// A TS_BufferStream over a file opened by name. Opening errors raise
// EHostError "Cannot open <path>: <strerror>" (ENotRegularFile for a source
// that is not a regular file). The fstat result taken right after opening is
// kept in FileStat(), so callers need not stat the path again.
class TLFNFileStream : public TS_BufferStream {
public:
  TLFNFileStream(const std::string& path, TFileOpenMode mode,
                 size_t buffer_size = kDefaultBufferSize, const TStreamWrapper& wrapper = {});
  // Adopts an open descriptor (for example one from mkstemp); it is closed
  // with the stream.
  TLFNFileStream(int fd, const std::string& path, size_t buffer_size = kDefaultBufferSize,
                 const TStreamWrapper& wrapper = {});
  ~TLFNFileStream() override;

  const std::string& Path() const { return path_; }
  int Fd() const { return file_->Fd(); }
  // fstat result at open time: st_size, st_mtim, st_mode, st_dev, st_ino.
  const struct stat& FileStat() const { return stat_; }
  // A fresh fstat of the open file.
  struct stat CurrentStat() const;
  // Flushes pending bytes and fsyncs now; false when either failed.
  bool Sync();
  // Finish (flush, sync when SyncOnClose) and close the descriptor; false
  // when anything failed (LastError tells why). Later use is an error.
  bool Close();
  // Shortens or lengthens the file (pending bytes are flushed first);
  // false (errno in LastError) when ftruncate fails.
  bool Truncate(uint64_t size);

protected:
  bool SyncUnderlying() override;

private:
  struct Opened {
    std::unique_ptr<TStream> top;  // the file, or the wrapper that owns it
    TFileHandleStream* file;
  };
  TLFNFileStream(Opened opened, const std::string& path, size_t buffer_size);
  static Opened Open(std::unique_ptr<TFileHandleStream> file, const TStreamWrapper& wrapper);
  static std::unique_ptr<TFileHandleStream> OpenFile(const std::string& path, TFileOpenMode mode);

  std::string path_;
  TFileHandleStream* file_ = nullptr;  // owned through the buffer's stream chain
  struct stat stat_ {};
};

}  // namespace tessel
