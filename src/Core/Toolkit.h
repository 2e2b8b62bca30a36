#pragma once
// The few blocking user-interface operations the dialogs need. Each platform supplies
// its own; dialogs run one at a time, so a toolkit never sees two calls at once.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vl {

// How often a running alert asks whether it should end by itself.
inline constexpr std::chrono::milliseconds alertCheckPeriod{100};

enum class AlertEnd { finished, button };

class Toolkit {
public:
  virtual ~Toolkit() = default;

  // title is the main text, text the smaller explanation below it; one button "OK".
  virtual void message(const std::string& title, const std::string& text) = 0;

  // One button. Ends with `finished` once the check, called every alertCheckPeriod,
  // returns true; with `button` when the user presses the button or closes the window.
  virtual AlertEnd alert(const std::string& title, const std::string& text,
                         const std::string& button, const std::function<bool()>& finished) = 0;

  // A list with the first entry selected; the index of the chosen label, or empty
  // when the user pressed the cancel button or closed the window.
  virtual std::optional<std::size_t> choose(const std::string& title, const std::string& text,
                                            const std::vector<std::string>& labels,
                                            const std::string& accept,
                                            const std::string& cancel) = 0;

  // Opens the page in the user's browser; false when that could not be done.
  virtual bool openUrl(const std::string& url) = 0;
};

// The platform's toolkit for this process (environment and installed programs decide).
std::unique_ptr<Toolkit> makeToolkit();

// Replaces the toolkit the dialogs use and returns the previous one (empty when none was
// made yet); an empty argument makes the next dialog build the platform's toolkit again.
std::unique_ptr<Toolkit> setToolkit(std::unique_ptr<Toolkit> toolkit);

}  // namespace vl
