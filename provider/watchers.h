#pragma once
// The two threads that close sessions on their own: the inactivity watcher
// and the presence watcher. They run in the process that attached first and
// stop (joined) when it detaches.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace zyp::prov {

class Provider;

class Watchers {
 public:
  explicit Watchers(Provider& provider);  // starts both threads
  ~Watchers();                            // stops and joins them
  Watchers(const Watchers&) = delete;
  Watchers& operator=(const Watchers&) = delete;

 private:
  struct Candidate {
    uint32_t index;
    uint32_t session;
    uint32_t token;
  };

  // The records each watcher closes in this round.
  std::vector<Candidate> expired_records();
  std::vector<Candidate> removed_records();
  void inactivity_loop();
  void presence_loop();
  // Sleeps; false when the watchers are stopping.
  bool pause(std::chrono::milliseconds duration);
  // Waits until no cryptographic operation runs, then closes the record if
  // it still holds the same logged-in session.
  void close_when_idle(const Candidate& candidate);
  void note_thread(int slot);

  Provider& provider_;
  std::mutex stop_lock_;
  std::condition_variable stop_signal_;
  bool stopping_ = false;
  std::thread inactivity_;
  std::thread presence_;
};

}  // namespace zyp::prov
