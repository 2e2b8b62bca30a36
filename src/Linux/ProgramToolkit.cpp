// Dialogs shown by zenity or kdialog running as child processes.
#include "Linux/Child.h"
#include "Linux/Toolkits.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace vl {
namespace {

using namespace std::chrono_literals;

std::string joined(const std::string& title, const std::string& text) {
  return text.empty() ? title : title + "\n\n" + text;
}

// kdialog reads text that looks like markup as markup; marked up on purpose, every
// character of ours (and of a server's) shows as itself.
std::string markup(const std::string& text) {
  std::string out = "<qt>";
  for (const char c : text) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else if (c == '\n') out += "<br>";
    else out += c;
  }
  return out + "</qt>";
}

// One list cell per line on zenity's input: a line break inside a label would shift cells.
std::string oneLine(std::string s) {
  for (char& c : s)
    if (c == '\n' || c == '\r') c = ' ';
  return s;
}

// Schemes are case-insensitive; anything else could make the opener run a program.
bool webAddress(const std::string& url) {
  std::string scheme = url.substr(0, url.find(':'));
  for (char& c : scheme) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return (scheme == "https" || scheme == "http") && url.compare(scheme.size(), 3, "://") == 0;
}

// Both programs end with 1 both when cancelled and when no window could be opened;
// only what the toolkit wrote on its way out tells these apart.
bool noWindow(const std::string& errors) {
  for (const char* sign : {"cannot open display", "could not connect to display", "X Window System error",
                           "Fatal IO error", "lost connection to"})
    if (errors.find(sign) != std::string::npos) return true;
  return false;
}

// 0 and 1 are the user's answers (1: cancelled or closed), so is an end by a signal that
// asks a program to stop; anything else means no dialog was there to answer.
int answer(DialogProgram program, const Child& child, int status) {
  const bool stopped = status == 128 + SIGTERM || status == 128 + SIGHUP || status == 128 + SIGINT;
  if ((status == 0 || status == 1 || stopped) && !noWindow(child.errors())) return status;
  const std::string name = program == DialogProgram::zenity ? "zenity" : "kdialog";
  const char* display = std::getenv("WAYLAND_DISPLAY");
  if (!display || !*display) display = std::getenv("DISPLAY");
  if (noWindow(child.errors()))
    throw std::runtime_error(name + " could not open its window on the display \"" + (display ? display : "") +
                             "\". Check that the desktop session is running, or set VELTRANE_DIALOGS=terminal.");
  throw std::runtime_error(name + " failed before the dialog could be answered (exit status " +
                           std::to_string(status) + "). Check its installation, or set VELTRANE_DIALOGS=terminal.");
}

class ProgramToolkit final : public Toolkit {
public:
  explicit ProgramToolkit(DialogProgram program) : program_(program) {}

  void message(const std::string& title, const std::string& text) override {
    DialogCommand c = messageCommand(program_, title, text);
    Child child(c.argv, c.input, true);
    answer(program_, child, child.wait());
  }

  AlertEnd alert(const std::string& title, const std::string& text, const std::string& button,
                 const std::function<bool()>& finished) override {
    DialogCommand c = alertCommand(program_, title, text, button);
    Child child(c.argv, c.input, true);
    for (;;) {
      if (finished()) {
        child.end();
        return AlertEnd::finished;
      }
      if (const auto status = child.poll()) {
        answer(program_, child, *status);
        return AlertEnd::button;
      }
      std::this_thread::sleep_for(alertCheckPeriod);
    }
  }

  std::optional<std::size_t> choose(const std::string& title, const std::string& text,
                                    const std::vector<std::string>& labels, const std::string& accept,
                                    const std::string& cancel) override {
    DialogCommand c = chooseCommand(program_, title, text, labels, accept, cancel);
    Child child(c.argv, c.input, true);
    if (answer(program_, child, child.wait()) != 0) return std::nullopt;
    return parseChoice(child.output());
  }

  bool openUrl(const std::string& url) override {
    std::erase_if(browsers_, [](const std::unique_ptr<Child>& c) { return c->poll().has_value(); });
    if (!webAddress(url)) return false;
    std::unique_ptr<Child> child;
    try {
      child = std::make_unique<Child>(std::vector<std::string>{"xdg-open", url});
    } catch (const std::runtime_error&) {
      return false;  // no opener installed: the dialog says what to check
    }
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < until) {
      if (auto status = child->poll()) return *status == 0;
      std::this_thread::sleep_for(20ms);
    }
    // Still running: the browser was started in the foreground; it is the user's now.
    child->leaveRunning();
    browsers_.push_back(std::move(child));
    return true;
  }

private:
  DialogProgram program_;
  std::vector<std::unique_ptr<Child>> browsers_;
};

}  // namespace

DialogCommand messageCommand(DialogProgram program, const std::string& title, const std::string& text) {
  if (program == DialogProgram::zenity)
    return {{"zenity", "--info", "--no-markup", "--title=veltrane", "--width=420",
             "--text=" + joined(title, text), "--ok-label=OK"},
            {}};
  return {{"kdialog", "--title=veltrane", "--msgbox=" + markup(joined(title, text)), "--ok-label=OK"}, {}};
}

DialogCommand alertCommand(DialogProgram program, const std::string& title, const std::string& text,
                           const std::string& button) {
  if (program == DialogProgram::zenity)
    return {{"zenity", "--info", "--no-markup", "--title=veltrane", "--width=420",
             "--text=" + joined(title, text), "--ok-label=" + button},
            {}};
  return {{"kdialog", "--title=veltrane", "--msgbox=" + markup(joined(title, text)), "--ok-label=" + button}, {}};
}

DialogCommand chooseCommand(DialogProgram program, const std::string& title, const std::string& text,
                            const std::vector<std::string>& labels, const std::string& accept,
                            const std::string& cancel) {
  if (program == DialogProgram::zenity) {
    // Rows come on standard input: a label can never be taken for an option.
    DialogCommand c{{"zenity", "--list", "--radiolist", "--title=veltrane", "--width=420",
                     "--height=320", "--text=" + joined(title, text), "--column=", "--column=index",
                     "--column=Stream", "--hide-column=2", "--print-column=2", "--hide-header",
                     "--ok-label=" + accept, "--cancel-label=" + cancel},
                    {}};
    for (std::size_t i = 0; i < labels.size(); ++i)
      c.input += (i == 0 ? "TRUE\n" : "FALSE\n") + std::to_string(i) + "\n" + oneLine(labels[i]) + "\n";
    return c;
  }
  DialogCommand c{{"kdialog", "--title=veltrane", "--radiolist=" + markup(joined(title, text)),
                   "--ok-label=" + accept, "--cancel-label=" + cancel, "--"},
                  {}};
  for (std::size_t i = 0; i < labels.size(); ++i) {
    c.argv.push_back(std::to_string(i));
    c.argv.push_back(labels[i]);
    c.argv.push_back(i == 0 ? "on" : "off");
  }
  return c;
}

std::optional<std::size_t> parseChoice(const std::string& output) {
  std::size_t begin = output.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return std::nullopt;
  std::size_t end = output.find_last_not_of(" \t\r\n") + 1;
  std::size_t value = 0;
  for (std::size_t i = begin; i < end; ++i) {
    if (output[i] < '0' || output[i] > '9' || end - begin > 9) return std::nullopt;
    value = value * 10 + static_cast<std::size_t>(output[i] - '0');
  }
  return value;
}

std::unique_ptr<Toolkit> makeProgramToolkit(DialogProgram program) {
  return std::make_unique<ProgramToolkit>(program);
}

}  // namespace vl
