#include "channel/server.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "channel/dispatcher.h"
#include "channel/request_block.h"
#include "platform/last_error.h"
#include "platform/named_event.h"
#include "platform/named_mutex.h"
#include "platform/shared_memory.h"
#include "platform/system_info.h"

namespace zyp::channel {
namespace {

constexpr char kErrorCaption[] = "Quillmarsh PKCS server unrecoverable error";
constexpr char kNoFinishedEvent[] = "PKCS server error - Event not found Finished Event";
constexpr char kNoStartEvent[] = "PKCS server error - Event not found Start Event";
constexpr char kNoMapping[] = "PKCS server error - Mapfile not found - Process exiting";
constexpr char kMappingFailed[] = "PKCS server error - Mapviewoffile error - Process exiting";

// The server has no window of its own; its few messages are errors that end
// it, written with their caption to the standard error of the starter.
void show_error(const char* text) { std::fprintf(stderr, "%s: %s\n", kErrorCaption, text); }

void warning_beep() {
  if (::isatty(STDERR_FILENO)) (void)!::write(STDERR_FILENO, "\a", 1);
}

// Serves the request the client has just announced. Null on success, else
// the error that ends the server.
// The block is used through a copy, as the client makes it (see
// client_channel.cpp); a reply that cannot be written back ends the server
// rather than leave the client reading its own request as the answer.
const char* serve_announced_request(const ProviderCalls& provider, ServerState& state) {
  auto block = platform::SharedBytes::open(kRequestMappingName);
  if (!block) return platform::last_error() == platform::kErrorFileNotFound ? kNoMapping : kMappingFailed;
  serve_request(block->bytes(), provider, state);
  return block->store() ? nullptr : kMappingFailed;
}

int serve_requests(const ProviderCalls& provider, platform::NamedEvent& start, platform::NamedEvent& finished,
                   uint32_t idle_ms) {
  ServerState state;
  state.last_heartbeat = static_cast<uint32_t>(std::time(nullptr));
  while (!state.shutdown) {
    if (start.wait(idle_ms) != platform::WaitResult::Signaled) return kServerFailed;
    start.reset();
    const char* error = serve_announced_request(provider, state);
    if (error == kNoMapping) {
      // Its client ended (killed) after announcing it and took the block
      // along: nobody waits for the reply, and the other clients' sessions
      // must not end with it.
      std::fprintf(stderr, "zypserver: a request was withdrawn by its client before it was served; serving on\n");
      continue;
    }
    if (error) {
      show_error(error);
      return kServerFailed;
    }
    finished.set();
  }
  return kServerEnded;
}

// Every request is handled at raised priority. This thread does nothing but
// wait for requests and handle them, one at a time, so it is raised once for
// the whole loop rather than around each request: a waiting thread uses no
// processor whatever its priority, and three system calls per request are saved.
int serve(const ProviderCalls& provider, platform::NamedEvent& start, platform::NamedEvent& finished,
          uint32_t idle_ms) {
  platform::set_thread_priority_highest();
  int exit_code = serve_requests(provider, start, finished, idle_ms);
  platform::set_thread_priority_normal();
  return exit_code;
}

}  // namespace

uint32_t idle_limit_ms() {
  const char* text = std::getenv("ZYP_TEST_SERVER_IDLE_MS");
  if (!text || !*text) return kIdleLimitMs;
  char* end = nullptr;
  unsigned long value = std::strtoul(text, &end, 10);
  return (*end == '\0' && value > 0 && value < kIdleLimitMs) ? static_cast<uint32_t>(value) : kIdleLimitMs;
}

int run_server(const ProviderCalls& provider, uint32_t idle_ms) {
  bool existed = false;
  auto unique = platform::NamedMutex::create(kServerMutexName, true, &existed);
  if (!unique || existed) {
    warning_beep();
    return kServerEnded;
  }
  auto finished = platform::NamedEvent::open(kFinishedEventName);
  auto start = finished ? platform::NamedEvent::open(kStartEventName) : nullptr;
  if (!finished || !start) {
    show_error(finished ? kNoStartEvent : kNoFinishedEvent);
    return kServerFailed;
  }
  return serve(provider, *start, *finished, idle_ms);
}

}  // namespace zyp::channel
