#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace vl::dev {

// Characters drawn uniformly from alphabet with the kernel's random source.
std::string randomString(std::string_view alphabet, std::size_t length);

}  // namespace vl::dev
