#pragma once
// The request server: takes the hook device's queued requests and carries
// them out through the file library.
//
// - The service thread sends the product name, the automatic secure-erase
//   setting, the exclusion list and the drive mask, registers with the
//   device, and then serves one request at a time while the running flag is
//   set, waking on "ZYPSignalEvt".
// - Each request 2 gets a watch thread of its own, which waits until the
//   file is no longer written and then converts it from its current to its
//   target header; the watch threads take turns through one mutex.
// - The drive-watch thread sends the drive mask again when it changes,
//   checking every 10 seconds.
// Every wait of these threads ends early when the server stops, and stopping
// joins them all, so no thread outlives the server.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "hook/file_library.h"
#include "platform/hookdev/protocol.h"
#include "platform/named_event.h"

namespace zyp::hook {

class RequestServer {
 public:
  // Null when "ZYPSignalEvt" cannot be created.
  static std::unique_ptr<RequestServer> start();
  ~RequestServer();  // stop()
  RequestServer(const RequestServer&) = delete;
  RequestServer& operator=(const RequestServer&) = delete;

  // Unregisters from the device and joins every thread.
  void stop();

 private:
  explicit RequestServer(std::unique_ptr<platform::NamedEvent> signal);

  void service();
  void serve(hookdev::HookRequest& request);
  uint32_t act_on(hookdev::HookRequest& request, hookdev::HookReply& reply);
  void watch(hookdev::HookRequest request);
  bool watch_step(const std::string& path);
  void watch_drives();
  // Sleeps up to `ms`; false when the server stopped meanwhile.
  bool pause(uint32_t ms);

  std::atomic<bool> running_{true};
  std::unique_ptr<platform::NamedEvent> signal_;
  FileLibrary files_;
  std::mutex watch_turns_;  // one watch thread queries and converts at a time
  std::mutex pause_lock_;
  std::condition_variable stopping_;
  struct Watcher {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  // Joins the watch threads that have ended; with watchers_lock_ held.
  void reap_watchers();
  void start_watcher(const hookdev::HookRequest& request);
  std::mutex watchers_lock_;
  std::vector<Watcher> watchers_;
  std::thread service_;
  std::thread drive_watch_;
};

// The drive mask: drive C: (the home folder, a fixed disk); drive A: (the key
// disk, removable) is never part of it.
uint32_t fixed_drive_mask();

}  // namespace zyp::hook
