#pragma once
// Keeper processes: a zyp command lives much shorter than the services it
// starts (the provider server, the hook's request server), so a keeper
// process holds each of them between commands. `zyp NOUN start --foreground`
// is the keeper; `zyp NOUN start` runs it in the background, in a session of
// its own without a terminal, its messages in a log in the runtime folder,
// and returns once the keeper reports that its service serves.
#include <optional>
#include <string>
#include <string_view>

namespace zyp::cli {

struct KeeperKind {
  std::string_view noun;        // the keeper runs `zyp NOUN start --foreground`
  std::string_view what;        // "start the provider server", for errors
  std::string_view log_name;    // its log's name in the runtime folder
  std::string_view mutex_name;  // held by the keeper while it lives
};

// The service a keeper holds.
struct KeptService {
  bool (*start)();    // false when it cannot start
  bool (*running)();  // the keeper ends when this turns false
  void (*stop)();     // called when a stop signal ends the keeper
  std::string_view started_note;   // shown in the foreground once it serves
  std::string_view start_failure;  // why the keeper ends when start() fails
};

// The keeper's log in the runtime folder; none when the runtime folder is
// refused (*error says why).
std::optional<std::string> keeper_log_file(const KeeperKind& kind, std::string* error = nullptr);

// Starts the keeper in the background and returns once its service serves.
// Throws Failed("cannot WHAT: ...") when it does not come up.
void start_background_keeper(const KeeperKind& kind);

// In `zyp NOUN start --foreground`: the descriptor through which a background
// keeper reports that its service serves, or -1 in a terminal.
int take_ready_descriptor();
void report_ready(int ready);

// Starts the service and holds it until it ends by itself or a stop signal
// comes (which stops it). Throws Failed when the service does not start.
int keep_service(const KeeperKind& kind, const KeptService& service, int ready);

// A keeper of this kind is alive.
bool keeper_alive(const KeeperKind& kind);
// Waits (within a bound) until no keeper of this kind is alive.
void wait_until_keeper_ended(const KeeperKind& kind);

}  // namespace zyp::cli
