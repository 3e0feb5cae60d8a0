#pragma once
// The zip engine's exception classes and the texts they carry. Every class
// derives from tessel::Error so that a caller may catch them all at once.
#include <string>

#include "platform/errors.h"

namespace tessel {

inline constexpr const char* kMsgUserCanceled = "Пользователь прервал операцию";
inline constexpr const char* kMsgUserStoppedZip = "Пользователь прервал архивирование";
inline constexpr const char* kMsgUserCanceledName = "Пользователь прервал ввод имени архива.";
inline constexpr const char* kMsgNotEnoughRoom = "Нет свободной памати для записи архива";
inline constexpr const char* kMsgIncompleteZip = "Zip файл неполный";
inline constexpr const char* kMsgNotAZipFile = "Это не Zip файл!";
inline constexpr const char* kMsgPutbackOverflow = "Putback overflow";
inline constexpr const char* kMsgSeekError = "Seek error";
inline constexpr const char* kMsgInvalidSeekOrigin = "Invalid seek origin (%d)";

// A cancel request was acted on, or the user declined to name an archive.
class EUserCanceled : public Error {
public:
  explicit EUserCanceled(const std::string& message = kMsgUserCanceled) : Error(message) {}
};

// The archive stream took fewer bytes than it was given (disk full, quota).
class ENotEnoughRoom : public Error {
public:
  explicit ENotEnoughRoom(const std::string& message = kMsgNotEnoughRoom) : Error(message) {}
};

// The archive has no readable end record and is taken to be one volume of a set.
class EIncompleteZip : public Error {
public:
  explicit EIncompleteZip(const std::string& message = kMsgIncompleteZip) : Error(message) {}
};

// The file is not a zip archive at all.
class ENotAZipFile : public Error {
public:
  explicit ENotAZipFile(const std::string& message = kMsgNotAZipFile) : Error(message) {}
};

// The archive's records are damaged beyond what the reader can mend.
class EBadZipFile : public Error {
public:
  explicit EBadZipFile(const std::string& message = kMsgNotAZipFile) : Error(message) {}
};

// Misuse or failure of a buffered stream ("Putback overflow", "Seek error",
// "Invalid seek origin (%d)", a short exact read).
class EStreamError : public Error {
public:
  explicit EStreamError(const std::string& message) : Error(message) {}
};

// Index, capacity or policy violation of an object list.
class EListError : public Error {
public:
  explicit EListError(const std::string& message) : Error(message) {}
};

}  // namespace tessel
