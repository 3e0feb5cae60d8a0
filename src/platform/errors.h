#pragma once
// The project's exception hierarchy. Every error carries the text that a user
// sees; the layers derive their own named classes from these.
#include <stdexcept>
#include <string>

namespace tessel {

// Base of every error this program raises on purpose.
class Error : public std::runtime_error {
public:
  explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// A failed call into the operating system. The text names the operation and
// the path and ends with the system's own message, for example
// "Cannot open /data/x.txt: Permission denied".
class EHostError : public Error {
public:
  EHostError(const std::string& message, int error_number)
      : Error(message), error_number_(error_number) {}
  int ErrorNumber() const { return error_number_; }

private:
  int error_number_;
};

// Builds an EHostError from errno: "<what> <path>: <strerror(errno)>".
[[noreturn]] void ThrowHostError(const std::string& what, const std::string& path);
[[noreturn]] void ThrowHostError(const std::string& what, const std::string& path, int error_number);

}  // namespace tessel
