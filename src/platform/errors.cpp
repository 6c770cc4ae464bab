#include "platform/errors.h"

#include <cstring>

std::runtime_error systemError(const std::string& what, int err) {
  return std::runtime_error(what + ": " + std::strerror(err));
}
