#include "Random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>

namespace vl::dev {

std::string randomString(std::string_view alphabet, std::size_t length) {
  if (alphabet.empty() || alphabet.size() > 256)
    throw std::invalid_argument("A random string needs an alphabet of 1 to 256 characters.");
  // Bytes at or above the last whole multiple of the alphabet size are dropped,
  // so every character is equally likely.
  const unsigned limit = 256 - 256 % alphabet.size();
  std::string out;
  out.reserve(length);
  std::uint8_t buffer[64];
  while (out.size() < length) {
    ssize_t got = getrandom(buffer, sizeof buffer, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("The system's random source failed.");
    }
    for (ssize_t i = 0; i < got && out.size() < length; ++i)
      if (buffer[i] < limit) out += alphabet[buffer[i] % alphabet.size()];
  }
  return out;
}

}  // namespace vl::dev
