#include "Linux/Toolkits.h"

#include "Linux/Child.h"

#include <cstdlib>
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
  return ToolkitKind::terminal;
}

std::unique_ptr<Toolkit> makeToolkit() {
  const char* x = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const bool display = (x && *x) || (wayland && *wayland);
  switch (chooseToolkitKind(std::getenv("VELTRANE_DIALOGS"), display, onPath("zenity"),
                            onPath("kdialog"))) {
    case ToolkitKind::zenity: return makeProgramToolkit(DialogProgram::zenity);
    case ToolkitKind::kdialog: return makeProgramToolkit(DialogProgram::kdialog);
    case ToolkitKind::terminal: break;
  }
  return makeTerminalToolkit(STDIN_FILENO, STDERR_FILENO);
}

}  // namespace vl
