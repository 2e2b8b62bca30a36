#pragma once
// The sentence a call fails with, so tests can compare the user-facing text.
#include <stdexcept>
#include <string>

namespace vl::test {

template <class Call>
std::string failure(Call&& call) {
  try {
    call();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace vl::test
