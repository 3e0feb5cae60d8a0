#include "zip/buffer_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tessel {
namespace {

constexpr const char* kMsgReadError = "Stream read error";

std::string FormatOrigin(int origin) {
  char text[64];
  std::snprintf(text, sizeof text, kMsgInvalidSeekOrigin, origin);
  return text;
}

}  // namespace

// ---------------------------------------------------------------- TStream

uint64_t TStream::Size() {
  const uint64_t here = Seek(0, soFromCurrent);
  const uint64_t end = Seek(0, soFromEnd);
  Seek(static_cast<int64_t>(here), soFromBeginning);
  return end;
}

void TStream::ReadBuffer(void* buffer, size_t count) {
  if (Read(buffer, count) != count) throw EStreamError(kMsgReadError);
}

void TStream::WriteBuffer(const void* buffer, size_t count) {
  if (Write(buffer, count) != count) ThrowShortWrite(*this);
}

bool IsOutOfSpaceError(int error_number) {
  return error_number == ENOSPC
#ifdef EDQUOT
         || error_number == EDQUOT
#endif
      ;
}

void ThrowShortWrite(const TStream& stream) {
  const int error_number = stream.LastError();
  if (error_number == 0 || IsOutOfSpaceError(error_number)) throw ENotEnoughRoom();
  ThrowHostError("Cannot write", stream.Name(), error_number);
}

// ----------------------------------------------------------- TMemoryStream

size_t TMemoryStream::Read(void* buffer, size_t count) {
  if (position_ >= data_.size()) return 0;
  const size_t n = static_cast<size_t>(std::min<uint64_t>(count, data_.size() - position_));
  std::memcpy(buffer, data_.data() + position_, n);
  position_ += n;
  return n;
}

size_t TMemoryStream::Write(const void* buffer, size_t count) {
  size_t n = count;
  if (position_ >= WriteLimit) {
    n = 0;
  } else if (WriteLimit - position_ < n) {
    n = static_cast<size_t>(WriteLimit - position_);
  }
  if (n < count) last_error_ = ENOSPC;
  if (n == 0) return 0;
  if (data_.size() < position_ + n) data_.resize(static_cast<size_t>(position_ + n), '\0');
  std::memcpy(data_.data() + position_, buffer, n);
  position_ += n;
  return n;
}

uint64_t TMemoryStream::Seek(int64_t offset, int origin) {
  int64_t target = 0;
  switch (origin) {
    case soFromBeginning: target = offset; break;
    case soFromCurrent: target = static_cast<int64_t>(position_) + offset; break;
    case soFromEnd: target = static_cast<int64_t>(data_.size()) + offset; break;
    default: throw EStreamError(FormatOrigin(origin));
  }
  if (target < 0) throw EStreamError(kMsgSeekError);
  position_ = static_cast<uint64_t>(target);
  return position_;
}

// ------------------------------------------------------ TFileHandleStream

TFileHandleStream::TFileHandleStream(int fd, std::string path, bool owns_fd)
    : fd_(fd), path_(std::move(path)), owns_fd_(owns_fd) {}

TFileHandleStream::~TFileHandleStream() {
  if (owns_fd_ && fd_ >= 0) ::close(fd_);
}

size_t TFileHandleStream::Read(void* buffer, size_t count) {
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(fd_, out + done, count - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      ThrowHostError("Cannot read", path_);
    } else if (OnInterrupted) {
      OnInterrupted();
    }
  }
  return done;
}

size_t TFileHandleStream::Write(const void* buffer, size_t count) {
  const auto* in = static_cast<const uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd_, in + done, count - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      last_error_ = n < 0 ? errno : ENOSPC;
      break;
    }
  }
  return done;
}

uint64_t TFileHandleStream::Seek(int64_t offset, int origin) {
  int whence = SEEK_SET;
  switch (origin) {
    case soFromBeginning: whence = SEEK_SET; break;
    case soFromCurrent: whence = SEEK_CUR; break;
    case soFromEnd: whence = SEEK_END; break;
    default: throw EStreamError(FormatOrigin(origin));
  }
  const off_t result = ::lseek(fd_, static_cast<off_t>(offset), whence);
  if (result < 0) ThrowHostError("Cannot seek", path_);
  return static_cast<uint64_t>(result);
}

uint64_t TFileHandleStream::Size() {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) ThrowHostError("Cannot stat", path_);
  return static_cast<uint64_t>(st.st_size);
}

bool TFileHandleStream::Sync() {
  if (::fsync(fd_) == 0) return true;
  last_error_ = errno;
  return false;
}

bool TFileHandleStream::Close() {
  if (fd_ < 0) return true;
  const int result = ::close(fd_);
  fd_ = -1;
  if (result == 0) return true;
  last_error_ = errno;
  return false;
}

// -------------------------------------------------------- TS_BufferStream

TS_BufferStream::TS_BufferStream(TStream* underlying, size_t buffer_size)
    : underlying_(underlying),
      buffer_(new uint8_t[std::max<size_t>(buffer_size, 1)]),
      size_(std::max<size_t>(buffer_size, 1)),
      end_(buffer_.get() + size_) {}

TS_BufferStream::TS_BufferStream(std::unique_ptr<TStream> underlying, size_t buffer_size)
    : TS_BufferStream(underlying.get(), buffer_size) {
  owned_ = std::move(underlying);
}

TS_BufferStream::~TS_BufferStream() {
  try {
    if (state_ == bsWriting) Flush();
    if (SyncOnClose && needs_sync_) SyncUnderlying();
  } catch (...) {
    // A destructor cannot report; Finish is the checked path.
  }
}

uint64_t TS_BufferStream::UnderlyingPosition() {
  if (under_pos_ < 0) under_pos_ = static_cast<int64_t>(underlying_->Seek(0, soFromCurrent));
  return static_cast<uint64_t>(under_pos_);
}

uint64_t TS_BufferStream::LogicalPosition() {
  const uint64_t base = UnderlyingPosition();
  if (state_ == bsReading) return base - static_cast<uint64_t>(end_ - cur_);
  if (state_ == bsWriting) return base + static_cast<uint64_t>(cur_ - buffer_.get());
  return base;
}

bool TS_BufferStream::Fill() {
  const size_t n = underlying_->Read(buffer_.get(), size_);
  if (under_pos_ >= 0) under_pos_ += static_cast<int64_t>(n);
  cur_ = buffer_.get();
  end_ = cur_ + n;
  state_ = n > 0 ? bsReading : bsIdle;
  if (OnFill) OnFill(*this);
  return n > 0;
}

bool TS_BufferStream::Flush() {
  if (state_ != bsWriting) return true;
  const size_t pending = static_cast<size_t>(cur_ - buffer_.get());
  const size_t n = pending > 0 ? underlying_->Write(buffer_.get(), pending) : 0;
  if (under_pos_ >= 0) under_pos_ += static_cast<int64_t>(n);
  if (n < pending) {
    last_error_ = underlying_->LastError();
    // The failed bytes leave the underlying position uncertain.
    under_pos_ = -1;
  }
  cur_ = buffer_.get();
  end_ = cur_ + size_;
  state_ = bsIdle;
  if (OnFlush) OnFlush(*this);
  return n == pending;
}

size_t TS_BufferStream::Read(void* buffer, size_t count) {
  if (state_ == bsWriting) Flush();
  if (state_ != bsReading) {
    // Nothing read ahead: start from an empty buffer.
    cur_ = end_ = buffer_.get();
    state_ = bsReading;
  }
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    if (cur_ == end_) {
      const size_t wanted = count - done;
      if (wanted >= size_) {
        // A large read bypasses the buffer; the buffer stays empty.
        const size_t n = underlying_->Read(out + done, wanted);
        if (under_pos_ >= 0) under_pos_ += static_cast<int64_t>(n);
        done += n;
        cur_ = end_ = buffer_.get();
        break;
      }
      if (!Fill()) {
        cur_ = end_ = buffer_.get();
        state_ = bsReading;
        break;
      }
    }
    const size_t n = std::min(count - done, static_cast<size_t>(end_ - cur_));
    std::memcpy(out + done, cur_, n);
    cur_ += n;
    done += n;
  }
  return done;
}

int TS_BufferStream::ReadByteSlow() {
  uint8_t byte = 0;
  return Read(&byte, 1) == 1 ? byte : -1;
}

void TS_BufferStream::StartWriting(bool reposition) {
  if (reposition) {
    const uint64_t position = LogicalPosition();
    underlying_->Seek(static_cast<int64_t>(position), soFromBeginning);
    under_pos_ = static_cast<int64_t>(position);
  }
  cur_ = buffer_.get();
  end_ = cur_ + size_;
  state_ = bsWriting;
}

size_t TS_BufferStream::Write(const void* buffer, size_t count) {
  if (state_ != bsWriting) StartWriting(state_ == bsReading && cur_ != end_);
  written_ = true;
  needs_sync_ = true;
  const auto* in = static_cast<const uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    if (cur_ == buffer_.get() && count - done >= size_) {
      // Nothing pending and a full buffer's worth: write it directly.
      const size_t wanted = count - done;
      const size_t n = underlying_->Write(in + done, wanted);
      if (under_pos_ >= 0) under_pos_ += static_cast<int64_t>(n);
      done += n;
      if (n < wanted) {
        last_error_ = underlying_->LastError();
        under_pos_ = -1;
        break;
      }
      continue;
    }
    const size_t n = std::min(count - done, static_cast<size_t>(end_ - cur_));
    std::memcpy(cur_, in + done, n);
    cur_ += n;
    done += n;
    if (cur_ == end_) {
      const size_t pending = size_;
      const uint64_t before = UnderlyingPosition();
      if (!Flush()) {
        // Report only what reached the underlying stream: the bytes of this
        // call that were lost with the failed flush are not accepted.
        const uint64_t after = static_cast<uint64_t>(underlying_->Seek(0, soFromCurrent));
        under_pos_ = static_cast<int64_t>(after);
        const size_t lost = pending - static_cast<size_t>(std::min<uint64_t>(after - before, pending));
        done = lost >= done ? 0 : done - lost;
        StartWriting(false);
        state_ = bsIdle;
        return done;
      }
      StartWriting(false);
    }
  }
  state_ = cur_ != buffer_.get() ? bsWriting : bsIdle;
  return done;
}

uint64_t TS_BufferStream::Seek(int64_t offset, int origin) {
  if (origin < soFromBeginning || origin > soFromEnd) throw EStreamError(FormatOrigin(origin));
  const uint64_t here = LogicalPosition();
  int64_t target = 0;
  if (origin == soFromBeginning) {
    target = offset;
  } else if (origin == soFromCurrent) {
    target = static_cast<int64_t>(here) + offset;
  } else {
    const uint64_t end = std::max(here, underlying_->Size());
    const uint64_t back = offset < 0 ? 0 - static_cast<uint64_t>(offset) : static_cast<uint64_t>(offset);
    target = static_cast<int64_t>(end) - static_cast<int64_t>(back);
  }
  if (target < 0) throw EStreamError(kMsgSeekError);
  const auto position = static_cast<uint64_t>(target);
  if (position == here) return here;
  if (state_ == bsReading && under_pos_ >= 0) {
    // Inside the bytes read ahead: move within the buffer.
    const uint64_t top = static_cast<uint64_t>(under_pos_);
    const uint64_t bottom = top - static_cast<uint64_t>(end_ - buffer_.get());
    if (position >= bottom && position <= top) {
      cur_ = end_ - (top - position);
      return position;
    }
  }
  if (state_ == bsWriting && !Flush()) {
    cur_ = nullptr;
    state_ = bsIdle;
    under_pos_ = -1;
    throw EStreamError(kMsgSeekError);
  }
  under_pos_ = static_cast<int64_t>(underlying_->Seek(target, soFromBeginning));
  cur_ = nullptr;
  end_ = buffer_.get() + size_;
  state_ = bsIdle;
  return position;
}

uint64_t TS_BufferStream::Size() {
  const uint64_t size = underlying_->Size();
  if (state_ != bsWriting) return size;
  return std::max(size, LogicalPosition());
}

int TS_BufferStream::LastError() const {
  return last_error_ != 0 ? last_error_ : underlying_->LastError();
}

std::string TS_BufferStream::Name() const { return underlying_->Name(); }

void TS_BufferStream::PutBack(uint8_t byte) {
  if (state_ != bsReading || cur_ == nullptr || cur_ <= buffer_.get())
    throw EStreamError(kMsgPutbackOverflow);
  *--cur_ = byte;
}

bool TS_BufferStream::Finish() {
  bool ok = Flush();
  if (SyncOnClose && needs_sync_) {
    ok = SyncUnderlying() && ok;
    needs_sync_ = false;
  }
  return ok;
}

bool TS_BufferStream::Invalidate() {
  if (state_ == bsWriting) {
    if (!Flush()) return false;
  } else if (state_ == bsReading) {
    const uint64_t position = LogicalPosition();
    under_pos_ = static_cast<int64_t>(underlying_->Seek(static_cast<int64_t>(position), soFromBeginning));
  }
  cur_ = nullptr;
  end_ = buffer_.get() + size_;
  state_ = bsIdle;
  return true;
}

// ---------------------------------------------------------- TLFNFileStream

std::unique_ptr<TFileHandleStream> TLFNFileStream::OpenFile(const std::string& path,
                                                            TFileOpenMode mode) {
  int flags = O_CLOEXEC;
  const char* what = "Cannot open";
  switch (mode) {
    case TFileOpenMode::fmOpenRead: flags |= O_RDONLY; break;
    case TFileOpenMode::fmOpenReadWrite: flags |= O_RDWR; break;
    case TFileOpenMode::fmCreate:
      flags |= O_RDWR | O_CREAT | O_TRUNC;
      what = "Cannot create";
      break;
    case TFileOpenMode::fmOpenSource: flags |= O_RDONLY | O_NONBLOCK | O_NOCTTY; break;
  }
  int fd = -1;
  do {
    fd = ::open(path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) ThrowHostError(what, path);
  auto file = std::make_unique<TFileHandleStream>(fd, path);
  if (mode == TFileOpenMode::fmOpenSource) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) ThrowHostError("Cannot stat", path);
    if (!S_ISREG(st.st_mode)) throw ENotRegularFile(path);
  }
  return file;
}

TLFNFileStream::Opened TLFNFileStream::Open(std::unique_ptr<TFileHandleStream> file,
                                            const TStreamWrapper& wrapper) {
  Opened opened{nullptr, file.get()};
  opened.top = std::move(file);
  if (wrapper) opened.top = wrapper(std::move(opened.top));
  return opened;
}

TLFNFileStream::TLFNFileStream(Opened opened, const std::string& path, size_t buffer_size)
    : TS_BufferStream(std::move(opened.top), buffer_size), path_(path), file_(opened.file) {
  if (::fstat(file_->Fd(), &stat_) != 0) ThrowHostError("Cannot stat", path_);
}

TLFNFileStream::TLFNFileStream(const std::string& path, TFileOpenMode mode, size_t buffer_size,
                               const TStreamWrapper& wrapper)
    : TLFNFileStream(Open(OpenFile(path, mode), wrapper), path, buffer_size) {}

TLFNFileStream::TLFNFileStream(int fd, const std::string& path, size_t buffer_size,
                               const TStreamWrapper& wrapper)
    : TLFNFileStream(Open(std::make_unique<TFileHandleStream>(fd, path), wrapper), path,
                     buffer_size) {}

TLFNFileStream::~TLFNFileStream() {
  try {
    Finish();
  } catch (...) {
    // Errors here are reported by an explicit Close.
  }
}

struct stat TLFNFileStream::CurrentStat() const {
  struct stat st {};
  if (::fstat(file_->Fd(), &st) != 0) ThrowHostError("Cannot stat", path_);
  return st;
}

bool TLFNFileStream::SyncUnderlying() { return file_->Fd() < 0 || file_->Sync(); }

bool TLFNFileStream::Sync() {
  const bool flushed = Flush();
  return file_->Sync() && flushed;
}

bool TLFNFileStream::Close() {
  if (file_->Fd() < 0) return true;
  const bool finished = Finish();
  return file_->Close() && finished;
}

bool TLFNFileStream::Truncate(uint64_t size) {
  if (!Invalidate()) return false;
  if (::ftruncate(file_->Fd(), static_cast<off_t>(size)) == 0) return true;
  return false;
}

}  // namespace tessel
