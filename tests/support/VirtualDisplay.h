#pragma once
// A virtual display of the test's own, on a number Xvfb finds free.
#include "Linux/Child.h"
#include "Wait.h"

#include <chrono>
#include <stdexcept>
#include <string>

namespace vl::test {

class VirtualDisplay {
public:
  VirtualDisplay() : server_({"Xvfb", "-displayfd", "1", "-screen", "0", "800x600x24", "-nolisten", "tcp"}) {
    // It writes the display number it found on a line of its own.
    const auto named = [&] { return server_.output().find('\n') != std::string::npos; };
    if (!waitFor([&] { return server_.poll() || named(); }, std::chrono::seconds(15)) || !named())
      throw std::runtime_error("Xvfb did not start.");
    name_ = ":" + server_.output().substr(0, server_.output().find('\n'));
  }
  const std::string& name() const { return name_; }
  pid_t pid() const { return server_.pid(); }

  // The whole screen as binary PPM, through xwd and netpbm.
  std::string screenshot() const {
    vl::Child xwd({"xwd", "-root", "-silent", "-display", name_});
    if (xwd.wait() != 0) return {};
    vl::Child convert({"xwdtopnm", "-quiet"}, xwd.output());
    if (convert.wait() != 0) return {};
    return convert.output();
  }

private:
  vl::Child server_;
  std::string name_;
};

}  // namespace vl::test
