#pragma once
// The Linux dialog toolkits: zenity or kdialog as child programs, so nothing touches
// the host's own GUI thread, and a terminal toolkit for headless use.
#include "Core/Toolkit.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vl {

enum class DialogProgram { zenity, kdialog };
enum class ToolkitKind { zenity, kdialog, terminal, missing };

// Command lines; text reaches the program only as whole arguments or standard input,
// never through a shell or where it could be read as an option.
struct DialogCommand {
  std::vector<std::string> argv;
  std::string input;  // standard input
};
DialogCommand messageCommand(DialogProgram program, const std::string& title, const std::string& text);
DialogCommand alertCommand(DialogProgram program, const std::string& title, const std::string& text,
                           const std::string& button);
DialogCommand chooseCommand(DialogProgram program, const std::string& title, const std::string& text,
                            const std::vector<std::string>& labels, const std::string& accept,
                            const std::string& cancel);
// The index a choice program printed; empty when it printed none.
std::optional<std::size_t> parseChoice(const std::string& output);

// VELTRANE_DIALOGS (zenity, kdialog or terminal) wins when it names one that can run;
// otherwise a display and an installed program decide, zenity first. A display without
// either program is `missing`: the terminal would prompt where no one looks.
ToolkitKind chooseToolkitKind(const char* requested, bool display, bool hasZenity, bool hasKdialog);

std::unique_ptr<Toolkit> makeProgramToolkit(DialogProgram program);
// Prompts on outFd and reads answers as lines from inFd.
std::unique_ptr<Toolkit> makeTerminalToolkit(int inFd, int outFd);

}  // namespace vl
