#include "cli/keeper.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cli/command_line.h"
#include "cli/results.h"
#include "platform/dirs.h"
#include "platform/named_mutex.h"

extern char** environ;

namespace zyp::cli {
namespace {

// The keeper tells the process that started it, through this descriptor,
// that its service serves.
constexpr char kReadyVariable[] = "ZYP_SERVER_READY_FD";
constexpr int kReadyFd = 3;
constexpr char kReady = '1';
// ZYPCIPStartPKCS gives the server 20 seconds to come up.
constexpr int kStartLimitMs = 30000;
constexpr long kKeeperPollNs = 200'000'000;
constexpr int kReapRounds = 25;
constexpr int kKeeperEndRounds = 50;

volatile sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

void on_stop_signals(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &action, nullptr);
}

std::string self_program(std::string_view what) {
  char path[PATH_MAX] = {};
  ssize_t size = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (size <= 0) fail(what, "cannot find the zyp program itself");
  return std::string(path, static_cast<size_t>(size));
}

// A refused runtime folder stops the start: no service could work without it.
std::string keeper_log(const KeeperKind& kind) {
  std::string error;
  auto log = keeper_log_file(kind, &error);
  if (!log) fail(kind.what, error);
  return *log;
}

// This environment, with the ready descriptor's variable set.
std::vector<char*> keeper_environment(std::string& ready_entry) {
  ready_entry = std::string(kReadyVariable) + "=" + std::to_string(kReadyFd);
  std::vector<char*> entries;
  for (char** entry = environ; *entry; ++entry)
    if (std::strncmp(*entry, kReadyVariable, sizeof kReadyVariable - 1) != 0) entries.push_back(*entry);
  entries.push_back(ready_entry.data());
  entries.push_back(nullptr);
  return entries;
}

// Starts `zyp NOUN start --foreground` in a session of its own, without a
// terminal (so that a terminal backend in the service cannot stop it on a
// background read), its output in the log, `ready` as descriptor 3.
pid_t spawn_keeper(const KeeperKind& kind, int ready, const std::string& log) {
  std::string program = self_program(kind.what);
  std::string noun(kind.noun);
  std::string ready_entry;
  std::vector<char*> environment = keeper_environment(ready_entry);
  const char* argv[] = {program.c_str(), noun.c_str(), "start", "--foreground", nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ready, kReadyFd);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t keeper = 0;
  int error = ::posix_spawn(&keeper, program.c_str(), &actions, &attributes, const_cast<char**>(argv),
                            environment.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) fail(kind.what, std::strerror(error));
  return keeper;
}

// True once the keeper says its service serves; false when it ends first or
// does not answer in time (it is then ended).
bool keeper_reports_ready(pid_t keeper, int ready) {
  pollfd wait{ready, POLLIN, 0};
  char word = 0;
  int polled = 0;
  do {
    polled = ::poll(&wait, 1, kStartLimitMs);
  } while (polled < 0 && errno == EINTR);
  bool serving = polled == 1 && ::read(ready, &word, 1) == 1 && word == kReady;
  if (!serving) {
    if (polled == 0) ::kill(keeper, SIGTERM);
    ::waitpid(keeper, nullptr, 0);
  }
  return serving;
}

void pause_a_moment() {
  timespec pause{0, kKeeperPollNs};
  ::nanosleep(&pause, nullptr);  // a stop signal cuts it short
}

// A service process may be the keeper's child: collect it (within a bound)
// before leaving.
void reap_children() {
  for (int round = 0; round < kReapRounds; ++round) {
    pid_t reaped = ::waitpid(-1, nullptr, WNOHANG);
    if (reaped < 0 && errno != EINTR) return;  // no child left
    if (reaped == 0) pause_a_moment();
  }
}

}  // namespace

std::optional<std::string> keeper_log_file(const KeeperKind& kind, std::string* error) {
  auto folder = platform::runtime_dir(error);
  if (!folder) return std::nullopt;
  return *folder + "/" + std::string(kind.log_name);
}

void start_background_keeper(const KeeperKind& kind) {
  std::string log = keeper_log(kind);
  int pipe_ends[2];
  if (::pipe2(pipe_ends, O_CLOEXEC) != 0) fail(kind.what, std::strerror(errno));
  pid_t keeper = -1;
  try {
    keeper = spawn_keeper(kind, pipe_ends[1], log);
  } catch (...) {
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
    throw;
  }
  ::close(pipe_ends[1]);
  bool serving = keeper_reports_ready(keeper, pipe_ends[0]);
  ::close(pipe_ends[0]);
  if (!serving) fail(kind.what, "it did not come up; its messages are in " + log);
}

int take_ready_descriptor() {
  const char* text = std::getenv(kReadyVariable);
  if (!text) return -1;
  int fd = std::atoi(text);
  ::unsetenv(kReadyVariable);  // not for the service's own children
  if (fd < 0 || ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) return -1;
  return fd;
}

void report_ready(int ready) {
  if (ready < 0) return;
  (void)!::write(ready, &kReady, 1);
  ::close(ready);
}

int keep_service(const KeeperKind& kind, const KeptService& service, int ready) {
  on_stop_signals(request_stop);
  // Never released: the kernel frees it when this process is completely gone,
  // after the libraries' unload has closed their objects in the runtime folder.
  static platform::NamedMutex* const keeper = platform::NamedMutex::create(kind.mutex_name, false).release();
  if (keeper) keeper->wait(0);
  if (!service.start()) {
    if (ready >= 0) ::close(ready);
    fail(kind.what, service.start_failure);
  }
  report_ready(ready);
  if (ready < 0)
    std::fprintf(stderr, "zyp: %.*s\n", static_cast<int>(service.started_note.size()), service.started_note.data());
  while (!stop_requested && service.running()) pause_a_moment();
  if (stop_requested) service.stop();
  reap_children();
  return kExitOk;
}

bool keeper_alive(const KeeperKind& kind) { return platform::NamedMutex::held_by_another_process(kind.mutex_name); }

void wait_until_keeper_ended(const KeeperKind& kind) {
  for (int round = 0; round < kKeeperEndRounds && keeper_alive(kind); ++round) pause_a_moment();
}

}  // namespace zyp::cli
