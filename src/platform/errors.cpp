#include "platform/errors.h"

#include <cerrno>
#include <cstring>

namespace tessel {

void ThrowHostError(const std::string& what, const std::string& path, int error_number) {
  throw EHostError(what + " " + path + ": " + std::strerror(error_number), error_number);
}

void ThrowHostError(const std::string& what, const std::string& path) {
  ThrowHostError(what, path, errno);
}

}  // namespace tessel
