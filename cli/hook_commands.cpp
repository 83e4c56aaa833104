// zyp hook start|stop|status: the hook's request server, which carries out
// what the file-system hook asks for (among others, encrypting the files
// saved into marked folders). A keeper process (cli/keeper.h) hosts it
// between commands, the way the provider server is kept.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>

#include "cli/commands.h"
#include "cli/keeper.h"
#include "cli/results.h"
#include "cli/server_control.h"
#include "platform/atomic_file.h"
#include "platform/dirs.h"
#include "zyp/zyphook.h"

namespace zyp::cli {
namespace {

constexpr KeeperKind kHookKeeper{"hook", "start the hook's request server", "zyphook.log", "ZYPCLI_HOOK_KEEPER"};
constexpr char kPidFileName[] = "zyphook.pid";
constexpr int kServing = 0;
constexpr int kNoServer = 1;
constexpr int kRegisterRounds = 100;
constexpr auto kRegisterPause = std::chrono::milliseconds(50);

std::string pid_file() {
  std::string error;
  auto folder = platform::runtime_dir(&error);
  if (!folder) fail("reach the hook's keeper", error);
  return *folder + "/" + kPidFileName;
}

// The keeper's process: only while a keeper is alive does its file name it.
std::optional<pid_t> keeper_process() {
  if (!keeper_alive(kHookKeeper)) return std::nullopt;
  auto text = platform::read_whole_file(pid_file());
  if (!text) return std::nullopt;
  long pid = std::strtol(text->c_str(), nullptr, 10);
  if (pid <= 0) return std::nullopt;
  return static_cast<pid_t>(pid);
}

// The request server registers with the hook from a thread of its own.
bool registered_in_time() {
  for (int round = 0; round < kRegisterRounds; ++round) {
    if (ZYPGetHookState() == kServing) return true;
    std::this_thread::sleep_for(kRegisterPause);
  }
  return false;
}

bool start_request_server() {
  if (ZYPSetHookState(0) != 0 || !registered_in_time()) return false;
  return platform::write_file_atomically(pid_file(), std::to_string(::getpid()) + "\n");
}
bool request_server_serves() { return ZYPGetHookState() == kServing; }
void stop_request_server() { ZYPSetHookState(1); }

constexpr KeptService kRequestServer{start_request_server, request_server_serves, stop_request_server,
                                     "the hook's request server runs; Ctrl-C or `zyp hook stop` ends it",
                                     "the request server could not register with the file-system hook"};

[[noreturn]] void fail_without_device(std::string_view what) {
  fail(what, "the file-system hook is not available (code 70); the machine setting \"HookDevice\" in section "
             "\"General\" switches it on (`zypconfig` shows it)");
}

std::string server_owner() {
  auto keeper = keeper_process();
  return keeper ? "in process " + std::to_string(*keeper) + " (`zyp hook stop` ends it)"
                : "in another program (not started by `zyp hook start`)";
}

}  // namespace

int run_hook_start(const Invocation& invocation) {
  std::string_view what = kHookKeeper.what;
  int ready = take_ready_descriptor();
  int state = ZYPGetHookState();
  if (state == ZYPHOOK_NO_DEVICE) {
    if (ready >= 0) ::close(ready);
    fail_without_device(what);
  }
  if (state == kServing) {
    if (ready >= 0) report_ready(ready);
    else std::printf("a request server runs already %s\n", server_owner().c_str());
    return kExitOk;
  }
  // The requests are carried out through the provider server.
  ensure_server(what);
  if (invocation.has("--foreground")) return keep_service(kHookKeeper, kRequestServer, ready);
  start_background_keeper(kHookKeeper);
  std::printf("the hook's request server is running %s\n", server_owner().c_str());
  return kExitOk;
}

int run_hook_stop(const Invocation&) {
  std::string_view what = "stop the hook's request server";
  auto keeper = keeper_process();
  if (!keeper) {
    if (ZYPGetHookState() == kServing)
      fail(what, "it runs in another program (not started by `zyp hook start`); end that program");
    std::printf("no request server was running\n");
    return kExitOk;
  }
  if (::kill(*keeper, SIGTERM) != 0) fail(what, "its keeper process " + std::to_string(*keeper) + " cannot be signalled");
  wait_until_keeper_ended(kHookKeeper);
  if (keeper_alive(kHookKeeper)) fail(what, "its keeper process " + std::to_string(*keeper) + " is still running");
  std::printf("the hook's request server has stopped\n");
  return kExitOk;
}

int run_hook_status(const Invocation&) {
  int state = ZYPGetHookState();
  if (state == ZYPHOOK_NO_DEVICE) fail_without_device("show the hook's state");
  if (state == kNoServer) std::printf("not running\n");
  else if (state == kServing) std::printf("running %s\n", server_owner().c_str());
  else fail("show the hook's state", "unexpected result (code " + std::to_string(state) + ")");
  return kExitOk;
}

}  // namespace zyp::cli
