#include "hook/request_server.h"

#include <atomic>
#include <cstring>
#include <string>

#include "hook/hook_state.h"
#include "platform/drives.h"
#include "platform/export_guard.h"
#include "platform/files.h"
#include "platform/hookdev/device.h"
#include "platform/system_info.h"
#include "zyp/zyphook.h"
#include "zyp/zypprof.h"

using zyp::platform::guarded;
namespace hookdev = zyp::hookdev;

namespace zyp::hook {
namespace {

constexpr uint32_t kEventPollMs = 250;
constexpr uint32_t kWatchPauseMs = 3000;
constexpr uint32_t kDriveCheckMs = 10000;
constexpr uint32_t kDriveA = 1u << 0;
constexpr uint32_t kDriveC = 1u << 2;

void set_activity(uint32_t code) {
  if (SharedHookState* shared = shared_state()) std::atomic_ref<uint32_t>(shared->activity).exchange(code);
}

uint32_t send_path(uint32_t code, const char* path) {
  char field[hookdev::kPathField];
  hookdev::copy_path_field(field, path);
  uint32_t result = ZYPHOOK_NO_DEVICE;
  device_control(code, field, sizeof field, &result, sizeof result);
  return result;
}

void send_drive_mask(uint32_t mask) {
  uint32_t result = 0;
  device_control(hookdev::kDriveMask, &mask, sizeof mask, &result, sizeof result);
}

bool register_with_device(uint32_t stop) {
  hookdev::ServerRegistration registration{0, stop};
  uint32_t result = 0;
  return device_control(hookdev::kRegisterServer, &registration, sizeof registration, &result, sizeof result);
}

// The drives that GetLogicalDrives would report here.
uint32_t logical_drives() { return (platform::key_disk_present() ? kDriveA : 0) | kDriveC; }

std::mutex g_server_lock;
std::unique_ptr<RequestServer> g_server;

}  // namespace

uint32_t fixed_drive_mask() { return logical_drives() & ~kDriveA; }

std::unique_ptr<RequestServer> RequestServer::start() {
  auto signal = platform::NamedEvent::create(hookdev::kSignalEventName, true, false);
  if (!signal) return nullptr;
  std::unique_ptr<RequestServer> server(new RequestServer(std::move(signal)));
  server->service_ = std::thread([raw = server.get()] { raw->service(); });
  server->drive_watch_ = std::thread([raw = server.get()] { raw->watch_drives(); });
  return server;
}

RequestServer::RequestServer(std::unique_ptr<platform::NamedEvent> signal) : signal_(std::move(signal)) {}

RequestServer::~RequestServer() { stop(); }

void RequestServer::stop() {
  {
    std::lock_guard<std::mutex> guard(pause_lock_);
    if (!running_.exchange(false) && !service_.joinable()) return;
  }
  stopping_.notify_all();
  register_with_device(1);
  if (service_.joinable()) service_.join();
  if (drive_watch_.joinable()) drive_watch_.join();
  std::vector<Watcher> watchers;
  {
    std::lock_guard<std::mutex> guard(watchers_lock_);
    watchers.swap(watchers_);
  }
  for (Watcher& watcher : watchers) watcher.thread.join();
  set_activity(0);
}

bool RequestServer::pause(uint32_t ms) {
  std::unique_lock<std::mutex> lock(pause_lock_);
  return !stopping_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !running_.load(); });
}

void RequestServer::service() {
  platform::set_thread_priority_below_normal();
  char name[260] = {};
  ZYPGetProductName(name, sizeof name);
  char field[hookdev::kPathField];
  hookdev::copy_path_field(field, name);
  device_control(hookdev::kProductName, field, sizeof field, nullptr, 0);
  ZYPSetAutoSecureErase(ZYPGetAutoSecureErase());
  ZYPHOOKRefreshRestriction();
  send_drive_mask(fixed_drive_mask());
  if (!register_with_device(0)) return;
  while (running_.load()) {
    // A bounded wait, so that a stop is seen without a request to wake us.
    if (signal_->wait(kEventPollMs) != platform::WaitResult::Signaled) continue;
    hookdev::HookRequest request{};
    if (!device_control(hookdev::kFetchRequest, &request, sizeof request, &request, sizeof request)) break;
    serve(request);
  }
}

void RequestServer::serve(hookdev::HookRequest& request) {
  request.path[hookdev::kPathField - 1] = '\0';
  set_activity(request.code);
  hookdev::HookReply reply{};
  if (running_.load()) reply.result = act_on(request, reply);
  device_control(hookdev::kReply, &reply, sizeof reply, nullptr, 0);
  set_activity(0);
}

uint32_t RequestServer::act_on(hookdev::HookRequest& request, hookdev::HookReply& reply) {
  const std::string path(request.path);
  switch (request.code) {
    case hookdev::kRequestErase:
      return static_cast<uint32_t>(files_.secure_erase(path));
    case hookdev::kRequestWatch:
      start_watcher(request);
      return 0;
    case hookdev::kRequestDecipher:
      return static_cast<uint32_t>(files_.decipher_file(path, request.header));
    case hookdev::kRequestSyncDecipher:
      return static_cast<uint32_t>(files_.sync_decipher_file(path, request.header));
    case hookdev::kRequestCipherFolder:
      return static_cast<uint32_t>(files_.cipher_folder(path, request.header));
    case hookdev::kRequestAskValidHeader:
      return static_cast<uint32_t>(files_.ask_valid_header(request.header));
    case hookdev::kRequestScanFolder:
      return static_cast<uint32_t>(files_.scan_folder(path));
    case hookdev::kRequestLongPath:
      // Linux names have no short forms: the long path is the path itself.
      hookdev::copy_path_field(reply.long_path, request.path);
      return 0;
    default:
      return 0;
  }
}

void RequestServer::reap_watchers() {
  for (auto it = watchers_.begin(); it != watchers_.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = watchers_.erase(it);
    } else {
      ++it;
    }
  }
}

void RequestServer::start_watcher(const hookdev::HookRequest& request) {
  std::lock_guard<std::mutex> guard(watchers_lock_);
  reap_watchers();
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([this, request, done] {
    watch(request);
    done->store(true);
  });
  watchers_.push_back({std::move(thread), std::move(done)});
}

void RequestServer::watch(hookdev::HookRequest request) {
  platform::set_thread_priority_below_normal();
  const std::string path(request.path);
  if (!pause(kWatchPauseMs)) return;
  while (running_.load()) {
    std::unique_lock<std::mutex> turn(watch_turns_);
    if (watch_step(path)) {
      set_activity(0);
      send_path(hookdev::kWatchEnd, path.c_str());
      return;
    }
    turn.unlock();
    if (!pause(kWatchPauseMs)) return;
  }
}

// One look at the file: true when the watch is over.
bool RequestServer::watch_step(const std::string& path) {
  char field[hookdev::kPathField];
  hookdev::copy_path_field(field, path.c_str());
  hookdev::OpenFileState state{};
  state.current.Key = ZYPFILE_NO_KEY;
  state.target.Key = ZYPFILE_NO_KEY;
  state.result = ZYPHOOK_NO_DEVICE;
  device_control(hookdev::kOpenFileState, field, sizeof field, &state, sizeof state);
  if (state.result == hookdev::kPathMissing || state.result == hookdev::kAlreadyEncrypted) return true;
  if (state.result == hookdev::kOpenForWriting) return false;
  if (state.current.Key == state.target.Key || !platform::file_exists(path)) return true;
  if (state.current.Key != ZYPFILE_NO_KEY) {
    set_activity(hookdev::kRequestDecipher);
    if (files_.decipher_file(path, state.current) != 0) return true;
  }
  if (state.target.Key == ZYPFILE_NO_KEY) return true;
  set_activity(hookdev::kRequestWatch);
  int result = files_.cipher_file(path, state.target);
  set_activity(0);
  // Trying again cannot help when the file library has no such call.
  return result == 0 || result == ZYPHOOK_CALL_MISSING;
}

void RequestServer::watch_drives() {
  platform::set_thread_priority_below_normal();
  uint32_t previous = 0;
  do {
    uint32_t drives = logical_drives();
    if (drives != previous) send_drive_mask(fixed_drive_mask());
    previous = drives;
  } while (pause(kDriveCheckMs));
}

void stop_request_server_of_process() {
  std::unique_ptr<RequestServer> server;
  {
    std::lock_guard<std::mutex> guard(g_server_lock);
    server = std::move(g_server);
  }
  if (server) server->stop();
}

}  // namespace zyp::hook

using namespace zyp::hook;

ZYP_API int ZYPSetHookState(uint32_t state) {
  return guarded(1, [&] {
    std::lock_guard<std::mutex> guard(g_server_lock);
    if (state == 0) {
      if (ZYPGetHookState() != 1) return 0;
      // A server of this process whose registration failed is replaced.
      if (g_server) g_server->stop();
      g_server = RequestServer::start();
      return g_server ? 0 : 1;
    }
    if (g_server && ZYPGetHookState() == 0) {
      g_server->stop();
      g_server.reset();
      close_device();
    }
    return 0;
  });
}

ZYP_API uint32_t ZYPGetServerActivity(void) {
  return guarded(0u, [] {
    SharedHookState* shared = shared_state();
    return shared ? std::atomic_ref<uint32_t>(shared->activity).load() : 0u;
  });
}
