#include "channel/client_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/modules.h"
#include "platform/shared_memory.h"

namespace zyp::channel {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kServerProgram[] = "ZYPSERVER.EXE";
constexpr auto kHeartbeatPeriod = std::chrono::milliseconds(1000);
constexpr auto kServerStartLimit = std::chrono::seconds(20);
constexpr auto kServerEndLimit = std::chrono::seconds(10);
constexpr auto kPoll = std::chrono::milliseconds(5);

void no_payload(RequestWriter&) {}
void no_outputs(std::span<const uint8_t>) {}

// True once the process has ended and is reaped (or is no child to reap).
bool reap(pid_t child) {
  int status = 0;
  pid_t reaped = ::waitpid(child, &status, WNOHANG);
  return reaped == child || (reaped < 0 && errno == ECHILD);
}

// Sends a heartbeat every second so that the server does not end after its
// idle minute; stops at shutdown or unload.
class Heartbeat {
 public:
  explicit Heartbeat(std::shared_ptr<ChannelObjects> channel)
      : channel_(std::move(channel)), owner_(::getpid()), thread_([this] { run(); }) {}
  ~Heartbeat() {
    {
      std::lock_guard guard(lock_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  Heartbeat(const Heartbeat&) = delete;
  Heartbeat& operator=(const Heartbeat&) = delete;

  // A forked child has the object but not the thread.
  bool runs_here() const { return owner_ == ::getpid(); }

 private:
  void run();

  std::shared_ptr<ChannelObjects> channel_;
  pid_t owner_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

struct ClientProcess {
  std::mutex lock;
  pid_t attached_pid = 0;
  std::unique_ptr<platform::SharedBlock<ClientShared>> shared;
  std::shared_ptr<ChannelObjects> channel;
  std::unique_ptr<Heartbeat> heartbeat;
  std::vector<pid_t> servers;  // started here and not reaped yet
};

// Never destroyed: the library's unload runs after static destructors.
ClientProcess& process() {
  static ClientProcess* state = new ClientProcess;
  return *state;
}

// A heartbeat inherited by a forked child cannot be joined there; it is kept
// (and reachable) rather than destroyed.
std::vector<std::unique_ptr<Heartbeat>>& abandoned_heartbeats() {
  static auto* kept = new std::vector<std::unique_ptr<Heartbeat>>;
  return *kept;
}

void stop_heartbeat(std::unique_ptr<Heartbeat> heartbeat) {
  if (heartbeat && !heartbeat->runs_here())
    abandoned_heartbeats().push_back(std::move(heartbeat));
  // else the destructor stops and joins it
}

std::atomic_ref<int32_t> marker(ClientShared& shared) { return std::atomic_ref<int32_t>(shared.server_marker); }

bool marker_set(ClientProcess& p) { return p.shared && p.shared->attached() && marker(*p.shared->get()).load() != 0; }

void set_marker(ClientProcess& p, int32_t value) {
  if (p.shared && p.shared->attached()) marker(*p.shared->get()).store(value);
}

void reap_servers(ClientProcess& p) {
  std::lock_guard guard(p.lock);
  std::erase_if(p.servers, reap);
}

void Heartbeat::run() {
  std::unique_lock lock(lock_);
  while (!stopping_) {
    lock.unlock();
    channel_->transact(kHeartbeat, no_payload, no_outputs, {.stop = &stopping_});
    reap_servers(process());  // a server that ended by itself leaves no zombie
    lock.lock();
    wake_.wait_for(lock, kHeartbeatPeriod, [this] { return stopping_.load(); });
  }
}

enum class Startup { kServing, kOtherServer, kFailed };

// Waits until the new server holds its unique mutex. A child that ends at
// once leaves a usable channel only when another server runs already.
Startup wait_until_serving(pid_t child) {
  for (auto deadline = Clock::now() + kServerStartLimit; Clock::now() < deadline;) {
    if (server_alive()) return Startup::kServing;
    if (reap(child)) return server_alive() ? Startup::kOtherServer : Startup::kFailed;
    std::this_thread::sleep_for(kPoll);
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  return Startup::kFailed;
}

void wait_until_ended() {
  for (auto deadline = Clock::now() + kServerEndLimit; Clock::now() < deadline && server_alive();)
    std::this_thread::sleep_for(kPoll);
}

// Starts the server program and waits until a server serves.
Startup spawn_server(pid_t& child) {
  if (platform::spawn_program(kServerProgram, {}, false, &child) != 0) return Startup::kFailed;
  return wait_until_serving(child);
}

}  // namespace

void attach_client() {
  ClientProcess& p = process();
  std::lock_guard guard(p.lock);
  if (p.attached_pid == ::getpid()) return;
  p.attached_pid = ::getpid();
  p.shared = std::make_unique<platform::SharedBlock<ClientShared>>(kClientSharedName);
  if (!p.shared->attached()) return;
  std::atomic_ref<int32_t>(p.shared->get()->load_count).fetch_add(1);
  if (marker_set(p)) p.channel = ChannelObjects::open();
}

void detach_client() {
  ClientProcess& p = process();
  std::unique_ptr<Heartbeat> heartbeat;
  {
    std::lock_guard guard(p.lock);
    if (p.attached_pid == 0) return;
    heartbeat = std::move(p.heartbeat);
  }
  stop_heartbeat(std::move(heartbeat));
  std::lock_guard guard(p.lock);
  if (p.attached_pid == ::getpid() && p.shared && p.shared->attached())
    std::atomic_ref<int32_t>(p.shared->get()->load_count).fetch_sub(1);
  p.channel.reset();
  p.shared.reset();
  p.attached_pid = 0;
}

std::shared_ptr<ChannelObjects> channel_for_call() {
  ClientProcess& p = process();
  std::lock_guard guard(p.lock);
  if (!marker_set(p)) return nullptr;
  if (!p.channel || !p.channel->opened_here()) p.channel = ChannelObjects::open();
  return p.channel;
}

int start_server() {
  ClientProcess& p = process();
  std::shared_ptr<ChannelObjects> channel = ChannelObjects::create();
  if (!channel) return 0;
  // Signals left behind by a server that died must not reach the new one.
  if (!server_alive()) channel->clear_events();
  pid_t server = 0;
  Startup startup = spawn_server(server);
  if (startup == Startup::kFailed) return 0;

  std::unique_ptr<Heartbeat> previous;
  {
    std::lock_guard guard(p.lock);
    if (startup == Startup::kServing) p.servers.push_back(server);
    set_marker(p, static_cast<int32_t>(server));
    p.channel = channel;
    previous = std::move(p.heartbeat);
  }
  stop_heartbeat(std::move(previous));
  try {
    auto heartbeat = std::make_unique<Heartbeat>(channel);
    std::lock_guard guard(p.lock);
    p.heartbeat = std::move(heartbeat);
    return 1;
  } catch (...) {
    std::lock_guard guard(p.lock);
    set_marker(p, 0);
    if (startup == Startup::kServing) {
      ::kill(server, SIGKILL);
      ::waitpid(server, nullptr, 0);
      std::erase(p.servers, server);
    }
    return 0;
  }
}

void shutdown_server() {
  ClientProcess& p = process();
  std::unique_ptr<Heartbeat> heartbeat;
  std::shared_ptr<ChannelObjects> channel;
  {
    std::lock_guard guard(p.lock);
    set_marker(p, 0);
    heartbeat = std::move(p.heartbeat);
    if (p.channel && p.channel->opened_here()) channel = p.channel;
  }
  stop_heartbeat(std::move(heartbeat));

  bool existed = false;
  auto unique = platform::NamedMutex::create(kServerMutexName, true, &existed);
  if (!unique || existed) {
    if (!channel) channel = ChannelObjects::open();
    if (channel) channel->transact(kShutdown, no_payload, no_outputs);
  }
  unique.reset();
  // Wait for the server's end, so that a start right after this one finds
  // the unique mutex free.
  wait_until_ended();
  reap_servers(p);
}

}  // namespace zyp::channel
