#pragma once
// Watching folder trees for files that were written: the inotify side of the
// hook device's request server process.
//
// Every folder below each root is watched (hidden folders skipped, at most
// kMaxWatchedFolders in all, kMaxDepth levels below a root); folders made or
// moved in later are added as they appear. A regular file closed after
// writing or moved into a watched folder is reported to `on_written`, on the
// watcher's own thread. The roots are asked for again every poll interval,
// so a root that appears later (a folder marked later) is added then.
#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace zyp::hookdev {

class FolderWatcher {
 public:
  static constexpr size_t kMaxWatchedFolders = 2048;
  static constexpr int kMaxDepth = 8;
  static constexpr int kPollIntervalMs = 200;

  using Roots = std::function<std::vector<std::string>()>;
  using Written = std::function<void(const std::string& path)>;
  using Watching = std::function<void(size_t folders)>;

  // Starts the watching thread; `running()` is false when inotify is
  // unavailable. `on_watching` hears how many folders are watched each time
  // the roots were looked at.
  FolderWatcher(Roots roots, Written on_written, Watching on_watching);
  ~FolderWatcher();  // stops and joins the thread
  FolderWatcher(const FolderWatcher&) = delete;
  FolderWatcher& operator=(const FolderWatcher&) = delete;

  bool running() const { return inotify_ >= 0; }

 private:
  void run();
  void add_roots();
  void add_tree(const std::string& folder, int depth);
  void handle_events();

  Roots roots_;
  Written on_written_;
  Watching on_watching_;
  int inotify_ = -1;
  int stop_ = -1;  // eventfd that ends the thread
  std::set<std::string> roots_seen_;
  std::map<int, std::pair<std::string, int>> folders_;  // watch -> folder, depth below its root
  std::set<std::string> watched_;
  std::thread thread_;
};

}  // namespace zyp::hookdev
