#pragma once
// The provider server as the command line sees it.
//
// A zyp command lives much shorter than a server should: the server ends a
// minute after its last request unless the process that started it keeps
// sending its heartbeat, and calls reach it only while some process that
// started it is alive. So a keeper process (cli/keeper.h) starts the server
// and holds it: `zyp server start --foreground` is that keeper, and `zyp
// server start` (or any command that needs a server when none runs) runs it
// in the background, in a session of its own, until `zyp server stop`.
//
// The server runs in the keeper's environment, so its dialogs use the user
// interface chosen there (ZYP_UI). A background server has no terminal: its
// dialogs can come from a script (ZYP_UI=script:FILE) but not from the
// terminal; for terminal prompts keep the server in the foreground of a
// terminal of its own.
#include <optional>
#include <string>
#include <string_view>

#include "cli/command_line.h"

namespace zyp::cli {

// A server process holds its unique mutex.
bool server_running();
// The calls of this process reach a server.
bool server_reachable();

// The file that a background server writes its messages to (in the runtime
// folder); none when the runtime folder is refused.
std::optional<std::string> server_log_file(std::string* error = nullptr);

// Makes sure this process reaches a server, starting one in the background
// when none runs (and saying so on stderr). Throws Failed("cannot WHAT: ...")
// when none can be started.
void ensure_server(std::string_view what);

int run_server_start(const Invocation& invocation);
int run_server_stop(const Invocation& invocation);
int run_server_status(const Invocation& invocation);

}  // namespace zyp::cli
