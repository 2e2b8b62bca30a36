#pragma once
// A child program run from an argument vector (no shell), with its standard output
// collected. Whoever holds the object owns the process: it is always reaped.
#include <cstddef>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vl {

class Child {
public:
  // argv[0] is looked up in PATH. Standard input carries `input` and then ends (empty:
  // nothing to read). Throws when it cannot start. Standard error is collected only when
  // asked: a program left running must keep writing there after we are gone.
  explicit Child(const std::vector<std::string>& argv, std::string input = {}, bool collectErrors = false);
  ~Child();  // ends the process if it still runs, unless told to leave it
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // The exit status (a signal counts as 128 + its number) once it has ended.
  std::optional<int> poll();
  int wait();
  // Terminates it (SIGTERM, then SIGKILL after a short grace) and reaps it.
  void end();
  const std::string& output() const { return output_; }
  const std::string& errors() const { return errors_; }
  // Destruction then leaves a still-running process alone (reaping it if it has ended).
  void leaveRunning() { leave_ = true; }

private:
  void pump();

  pid_t pid_ = -1;
  int outFd_ = -1;
  int inFd_ = -1;
  int errFd_ = -1;
  std::string input_;
  std::size_t written_ = 0;
  std::optional<int> status_;
  bool leave_ = false;
  std::string output_;
  std::string errors_;
};

// Whether a program of that name is found in PATH.
bool onPath(const std::string& program);

}  // namespace vl
