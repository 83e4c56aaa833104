#pragma once
// The client side of the request channel: the three channel objects of a
// process and the handshake of one request.
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "channel/request_block.h"
#include "platform/named_event.h"
#include "platform/named_mutex.h"
#include "platform/object_files.h"

namespace zyp::channel {

// Writes a request's payload; called once to measure it and once to fill it.
using RequestLayout = std::function<void(RequestWriter&)>;
// Reads the outputs from the answered block (result already in it).
using ReplyReader = std::function<void(std::span<const uint8_t>)>;

// True while a server process holds its unique mutex.
bool server_alive();

struct TransactOptions {
  // A set flag gives up a wait for the request mutex (result 16).
  const std::atomic<bool>* stop = nullptr;
  // The request carries secrets (PINs, key values, private records): the
  // block is wiped before it is released.
  bool secret = false;
};

class ChannelObjects {
 public:
  // Creates the two events (auto-reset, clear) and the request mutex, or
  // opens them when they exist already. Null when any cannot be made.
  static std::unique_ptr<ChannelObjects> create();
  // Opens the three objects by name; null unless all three exist.
  static std::unique_ptr<ChannelObjects> open();

  // Clears both events, dropping a request or reply nobody will take (once
  // a client still announcing one to a dead server has withdrawn it).
  void clear_events();

  // False in a forked child: the child shares the parent's lock on the
  // request mutex and must open the objects for itself.
  bool opened_here() const { return opener_ == platform::objects::current_pid(); }

  // Runs one request and returns the low byte of its result, or 16 when the
  // request block cannot be made (or would exceed 4 GiB + 64 KiB) or the
  // server ends (or is gone) before it answers; nothing is read back then.
  int transact(uint8_t code, const RequestLayout& layout, const ReplyReader& reply,
               const TransactOptions& options = {});

 private:
  ChannelObjects(std::unique_ptr<platform::NamedEvent> start, std::unique_ptr<platform::NamedEvent> finished,
                 std::unique_ptr<platform::NamedMutex> mutex)
      : start_(std::move(start)),
        finished_(std::move(finished)),
        mutex_(std::move(mutex)),
        opener_(platform::objects::current_pid()) {}
  bool take_turn(const std::atomic<bool>* stop);
  int exchange(uint8_t code, const RequestLayout& layout, const ReplyReader& reply, bool secret);
  bool await_reply();

  std::unique_ptr<platform::NamedEvent> start_;
  std::unique_ptr<platform::NamedEvent> finished_;
  std::unique_ptr<platform::NamedMutex> mutex_;
  pid_t opener_;
};

}  // namespace zyp::channel
