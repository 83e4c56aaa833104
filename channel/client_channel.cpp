#include "channel/client_channel.h"

#include <chrono>
#include <thread>
#include <vector>

#include "platform/shared_memory.h"

namespace zyp::channel {
namespace {

// Waits that have no limit of their own look at the server this often, so a
// server that has died is noticed within a fraction of a second.
constexpr uint32_t kAliveCheckMs = 250;
// Long enough for a client of a dead server to notice and let go.
constexpr uint32_t kClearWaitMs = 8 * kAliveCheckMs;
constexpr auto kAbandonedBlockPoll = std::chrono::milliseconds(2);
// No call needs more: every item is at most 4 GiB. Only a list capacity far
// beyond anything a provider fills could ask for more, and a block of that
// size would be reserved on disk before it failed.
constexpr size_t kLargestRequest = (size_t{1} << 32) + (size_t{1} << 16);

// The request's bytes: code, result 0 and the payload.
std::vector<uint8_t> lay_out_request(uint8_t code, const RequestLayout& layout, size_t size) {
  std::vector<uint8_t> bytes(size);
  store_u32(bytes.data() + kCodeOffset, code);
  store_u32(bytes.data() + kResultOffset, 0);
  RequestWriter writer(bytes);
  layout(writer);
  return bytes;
}

// The block of a new request, holding the request. A block that still exists
// belongs to a request whose client died while the server was serving it:
// wait until the server lets go of it, so the two requests cannot mix.
// The block is used through copies: it lives for one exchange, and mapping it
// would cost a page fault on each side, far more than copying its bytes.
std::unique_ptr<platform::SharedBytes> create_request_block(uint8_t code, const RequestLayout& layout, size_t size) {
  while (true) {
    bool existed = false;
    auto block = platform::SharedBytes::create(kRequestMappingName, lay_out_request(code, layout, size), &existed);
    if (!block || !existed) return block;
    block.reset();
    if (!server_alive()) return nullptr;
    std::this_thread::sleep_for(kAbandonedBlockPoll);
  }
}

}  // namespace

bool server_alive() { return platform::NamedMutex::held_by_another_process(kServerMutexName); }

std::unique_ptr<ChannelObjects> ChannelObjects::create() {
  auto start = platform::NamedEvent::create(kStartEventName, false, false);
  auto finished = platform::NamedEvent::create(kFinishedEventName, false, false);
  auto mutex = platform::NamedMutex::create(kRequestMutexName, false);
  if (!start || !finished || !mutex) return nullptr;
  return std::unique_ptr<ChannelObjects>(new ChannelObjects(std::move(start), std::move(finished), std::move(mutex)));
}

std::unique_ptr<ChannelObjects> ChannelObjects::open() {
  auto start = platform::NamedEvent::open(kStartEventName);
  auto finished = platform::NamedEvent::open(kFinishedEventName);
  auto mutex = platform::NamedMutex::open(kRequestMutexName);
  if (!start || !finished || !mutex) return nullptr;
  return std::unique_ptr<ChannelObjects>(new ChannelObjects(std::move(start), std::move(finished), std::move(mutex)));
}

// The events are cleared under the request mutex. A client that announced a
// request to the server that died holds it until it sees the server gone
// (within kAliveCheckMs) and withdraws; clearing the start event under its
// feet would drop a request that it then waits for from the next server.
void ChannelObjects::clear_events() {
  bool held = mutex_->wait(kClearWaitMs) == platform::WaitResult::Signaled;
  start_->reset();
  finished_->reset();
  if (held) mutex_->release();
}

int ChannelObjects::transact(uint8_t code, const RequestLayout& layout, const ReplyReader& reply,
                             const TransactOptions& options) {
  if (!take_turn(options.stop)) return kResultUnreachable;
  int result = exchange(code, layout, reply, options.secret);
  // The finished event is cleared before each request, never after the
  // mutex is released: by then it may be the next request's reply.
  mutex_->release();
  return result;
}

// The request mutex is held for a whole request, a PIN dialog included, so
// the wait has no limit while the server lives.
bool ChannelObjects::take_turn(const std::atomic<bool>* stop) {
  while (true) {
    switch (mutex_->wait(kAliveCheckMs)) {
      case platform::WaitResult::Signaled:
        return true;
      case platform::WaitResult::Failed:
        return false;
      case platform::WaitResult::Timeout:
        if ((stop && stop->load()) || !server_alive()) return false;
    }
  }
}

int ChannelObjects::exchange(uint8_t code, const RequestLayout& layout, const ReplyReader& reply, bool secret) {
  RequestWriter measure;
  layout(measure);
  if (measure.size() > kLargestRequest) return kResultUnreachable;
  auto block = create_request_block(code, layout, measure.size());
  if (!block) return kResultUnreachable;

  finished_->reset();  // a reply left over from an abandoned request is not ours
  start_->set();
  int result = kResultUnreachable;
  if (!await_reply()) {
    start_->reset();  // withdraw the request, so a later server does not serve a block that is gone
  } else if (block->load()) {
    std::span<const uint8_t> bytes = block->bytes();
    reply(bytes);
    result = bytes[kResultOffset];  // the low byte of the little-endian result
  }
  if (secret) block->wipe();
  return result;
}

bool ChannelObjects::await_reply() {
  while (true) {
    switch (finished_->wait(kAliveCheckMs)) {
      case platform::WaitResult::Signaled:
        return true;
      case platform::WaitResult::Failed:
        return false;
      case platform::WaitResult::Timeout:
        // A server that answered and then ended (request 21) has set the event.
        if (!server_alive()) return finished_->wait(0) == platform::WaitResult::Signaled;
    }
  }
}

}  // namespace zyp::channel
