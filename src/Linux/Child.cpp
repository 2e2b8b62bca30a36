#include "Linux/Child.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace vl {
namespace {

struct FileActions {
  posix_spawn_file_actions_t actions;
  FileActions() { posix_spawn_file_actions_init(&actions); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
};

// A child that exits before reading its input must not take the host down with SIGPIPE.
ssize_t writeWithoutSigpipe(int fd, const char* data, size_t size) {
  sigset_t pipeSet, previous;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSet, &previous);
  const ssize_t n = write(fd, data, size);
  const int error = errno;
  if (n < 0 && error == EPIPE && !sigismember(&previous, SIGPIPE)) {
    const timespec zero{};
    sigtimedwait(&pipeSet, nullptr, &zero);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return n;
}

// Everything readable now; false once the other end has closed.
bool drain(int fd, std::string& into) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      into.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n != 0;
  }
}

int exitCode(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

}  // namespace

Child::Child(const std::vector<std::string>& argv, std::string input, bool collectErrors)
    : input_(std::move(input)) {
  if (argv.empty()) throw std::invalid_argument("A child program needs a name.");
  int pipeFds[2] = {-1, -1};
  int inFds[2] = {-1, -1};
  int errFds[2] = {-1, -1};
  const auto closeAll = [&] {
    for (int fd : {pipeFds[0], pipeFds[1], inFds[0], inFds[1], errFds[0], errFds[1]})
      if (fd >= 0) close(fd);
  };
  if (pipe2(pipeFds, O_CLOEXEC) != 0 || pipe2(inFds, O_CLOEXEC) != 0 ||
      (collectErrors && pipe2(errFds, O_CLOEXEC) != 0)) {
    const int error = errno;
    closeAll();
    throw std::runtime_error("Could not start " + argv[0] + ": " + std::strerror(error));
  }
  FileActions fa;
  posix_spawn_file_actions_adddup2(&fa.actions, inFds[0], 0);
  posix_spawn_file_actions_adddup2(&fa.actions, pipeFds[1], 1);
  if (collectErrors) posix_spawn_file_actions_adddup2(&fa.actions, errFds[1], 2);

  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // A group of its own, so ending it also ends anything it started.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  const int rc = posix_spawnp(&pid_, argv[0].c_str(), &fa.actions, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    closeAll();
    pid_ = -1;
    throw std::runtime_error("Could not start " + argv[0] + ": " + std::strerror(rc));
  }
  close(pipeFds[1]);
  close(inFds[0]);
  if (errFds[1] >= 0) close(errFds[1]);
  outFd_ = pipeFds[0];
  inFd_ = inFds[1];
  errFd_ = errFds[0];
  for (int fd : {outFd_, inFd_, errFd_})
    if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  pump();
}

Child::~Child() {
  if (leave_) poll();
  else end();
  for (int fd : {outFd_, inFd_, errFd_})
    if (fd >= 0) close(fd);
}

// Feeds standard input and collects standard output without ever blocking.
void Child::pump() {
  while (inFd_ >= 0 && written_ < input_.size()) {
    const ssize_t n = writeWithoutSigpipe(inFd_, input_.data() + written_, input_.size() - written_);
    if (n > 0) written_ += static_cast<size_t>(n);
    else if (n < 0 && errno == EINTR) continue;
    else if (n < 0 && errno == EAGAIN) break;
    else written_ = input_.size();  // the child closed its input
  }
  if (inFd_ >= 0 && written_ >= input_.size()) {
    close(inFd_);
    inFd_ = -1;
  }
  for (auto [fd, into] : {std::pair{&outFd_, &output_}, std::pair{&errFd_, &errors_}})
    if (*fd >= 0 && !drain(*fd, *into)) {
      close(*fd);
      *fd = -1;
    }
}

std::optional<int> Child::poll() {
  pump();
  if (status_ || pid_ < 0) return status_;
  int raw = 0;
  pid_t r = waitpid(pid_, &raw, WNOHANG);
  if (r == pid_) {
    status_ = exitCode(raw);
    pump();
  } else if (r < 0 && errno != EINTR) {
    status_ = -1;  // not ours to reap any more; nothing left to wait for
  }
  return status_;
}

int Child::wait() {
  while (!poll()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return *status_;
}

void Child::end() {
  if (pid_ < 0 || poll()) return;
  kill(-pid_, SIGTERM);
  const auto grace = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (!poll() && std::chrono::steady_clock::now() < grace)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  kill(-pid_, SIGKILL);  // also whatever it started that ignored the request
  if (poll()) return;
  int raw = 0;
  while (waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
  }
  status_ = exitCode(raw);
}

bool onPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (!path || program.empty() || program.find('/') != std::string::npos) return false;
  std::string_view rest(path);
  while (true) {
    const size_t colon = rest.find(':');
    const std::string_view dir = rest.substr(0, colon);
    const std::string candidate = (dir.empty() ? std::string(".") : std::string(dir)) + "/" + program;
    struct stat st {};
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
      return true;
    if (colon == std::string_view::npos) return false;
    rest.remove_prefix(colon + 1);
  }
}

}  // namespace vl
