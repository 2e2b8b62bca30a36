#include "Linux/Toolkits.h"

#include "Linux/Child.h"

#include <cstdlib>
#include <stdexcept>
#include <string_view>
#include <unistd.h>

namespace vl {

ToolkitKind chooseToolkitKind(const char* requested, bool display, bool hasZenity, bool hasKdialog) {
  const std::string_view r = requested ? requested : "";
  if (r == "terminal") return ToolkitKind::terminal;
  if (r == "zenity" && hasZenity) return ToolkitKind::zenity;
  if (r == "kdialog" && hasKdialog) return ToolkitKind::kdialog;
  if (display && hasZenity) return ToolkitKind::zenity;
  if (display && hasKdialog) return ToolkitKind::kdialog;
  return display ? ToolkitKind::missing : ToolkitKind::terminal;
}

namespace {

// Every dialog fails with what to install, before anything is shown or opened.
class MissingToolkit final : public Toolkit {
public:
  void message(const std::string&, const std::string&) override { fail(); }
  AlertEnd alert(const std::string&, const std::string&, const std::string&, const std::function<bool()>&) override {
    fail();
  }
  std::optional<std::size_t> choose(const std::string&, const std::string&, const std::vector<std::string>&,
                                    const std::string&, const std::string&) override {
    fail();
  }
  bool openUrl(const std::string&) override { fail(); }

private:
  [[noreturn]] static void fail() {
    throw std::runtime_error(
        "veltrane needs zenity or kdialog to show its dialogs on this desktop. Install one of them, or set "
        "VELTRANE_DIALOGS=terminal to answer in a terminal.");
  }
};

}  // namespace

std::unique_ptr<Toolkit> makeToolkit() {
  const char* x = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const bool display = (x && *x) || (wayland && *wayland);
  switch (chooseToolkitKind(std::getenv("VELTRANE_DIALOGS"), display, onPath("zenity"),
                            onPath("kdialog"))) {
    case ToolkitKind::zenity: return makeProgramToolkit(DialogProgram::zenity);
    case ToolkitKind::kdialog: return makeProgramToolkit(DialogProgram::kdialog);
    case ToolkitKind::missing: return std::make_unique<MissingToolkit>();
    case ToolkitKind::terminal: break;
  }
  return makeTerminalToolkit(STDIN_FILENO, STDERR_FILENO);
}

}  // namespace vl
