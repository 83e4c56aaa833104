#include "cli/server_control.h"

#include <cstdio>

#include "channel/request_block.h"
#include "cli/keeper.h"
#include "cli/results.h"
#include "platform/named_mutex.h"
#include "zyp/zypclient.h"

namespace zyp::cli {
namespace {

// Held by a keeper while it lives, so that `server stop` can wait for it to
// be gone too (its folders may be removed right after).
constexpr KeeperKind kServerKeeper{"server", "start the provider server", "zypserver.log", "ZYPCLI_SERVER_KEEPER"};

bool start_server() { return ZYPCIPStartPKCS() == 1; }
void shut_down_server() { ZYPCIPShutdownPKCS(); }

constexpr KeptService kServer{start_server, server_running, shut_down_server,
                              "the provider server runs; Ctrl-C or `zyp server stop` ends it",
                              "the server program did not start"};

}  // namespace

// The runtime folder is private to the user.
std::optional<std::string> server_log_file(std::string* error) { return keeper_log_file(kServerKeeper, error); }

bool server_running() { return platform::NamedMutex::held_by_another_process(channel::kServerMutexName); }

bool server_reachable() {
  uint32_t count = 0;
  return ZYPCIPEnumToken(nullptr, &count) != ZYPCIP_UNREACHABLE;
}

void ensure_server(std::string_view what) {
  if (server_reachable()) return;
  try {
    start_background_keeper(kServerKeeper);
  } catch (const Failed& failure) {
    fail(what, failure.what());
  }
  std::fprintf(stderr, "zyp: started the provider server; `zyp server stop` ends it\n");
  if (!server_reachable()) fail(what, "the provider server started but cannot be reached");
}

int run_server_start(const Invocation& invocation) {
  int ready = take_ready_descriptor();
  if (server_reachable()) {
    if (ready >= 0) report_ready(ready);
    else std::printf("the provider server is running already\n");
    return kExitOk;
  }
  if (invocation.has("--foreground")) return keep_service(kServerKeeper, kServer, ready);
  start_background_keeper(kServerKeeper);
  std::printf("the provider server is running\n");
  return kExitOk;
}

int run_server_stop(const Invocation&) {
  bool was_running = server_running();
  ZYPCIPShutdownPKCS();
  if (server_running()) fail("stop the provider server", "it is still running after its shutdown request");
  wait_until_keeper_ended(kServerKeeper);
  std::printf(was_running ? "the provider server has stopped\n" : "no provider server was running\n");
  return kExitOk;
}

int run_server_status(const Invocation&) {
  std::printf(server_running() ? "running\n" : "not running\n");
  return kExitOk;
}

}  // namespace zyp::cli
