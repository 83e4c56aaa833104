#include "platform/hookdev/folder_watch.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdint>

namespace zyp::hookdev {
namespace {

constexpr uint32_t kFolderEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_ONLYDIR;

bool is_hidden_or_dots(const char* name) { return name[0] == '.'; }

}  // namespace

FolderWatcher::FolderWatcher(Roots roots, Written on_written, Watching on_watching)
    : roots_(std::move(roots)), on_written_(std::move(on_written)), on_watching_(std::move(on_watching)) {
  inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  stop_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (inotify_ < 0 || stop_ < 0) {
    if (inotify_ >= 0) ::close(inotify_);
    inotify_ = -1;
    return;
  }
  thread_ = std::thread([this] { run(); });
}

FolderWatcher::~FolderWatcher() {
  if (thread_.joinable()) {
    uint64_t one = 1;
    (void)!::write(stop_, &one, sizeof one);
    thread_.join();
  }
  if (inotify_ >= 0) ::close(inotify_);
  if (stop_ >= 0) ::close(stop_);
}

void FolderWatcher::run() {
  add_roots();
  for (;;) {
    pollfd ready[2] = {{inotify_, POLLIN, 0}, {stop_, POLLIN, 0}};
    int count = ::poll(ready, 2, kPollIntervalMs);
    if (count > 0 && (ready[1].revents & POLLIN)) return;
    if (count > 0 && (ready[0].revents & POLLIN)) handle_events();
    add_roots();
  }
}

void FolderWatcher::add_roots() {
  for (const std::string& root : roots_()) {
    if (roots_seen_.insert(root).second) add_tree(root, 0);
  }
  on_watching_(watched_.size());
}

void FolderWatcher::add_tree(const std::string& folder, int depth) {
  if (depth > kMaxDepth || watched_.size() >= kMaxWatchedFolders || watched_.count(folder)) return;
  int watch = ::inotify_add_watch(inotify_, folder.c_str(), kFolderEvents);
  if (watch < 0) return;
  folders_[watch] = {folder, depth};
  watched_.insert(folder);
  DIR* entries = ::opendir(folder.c_str());
  if (!entries) return;
  std::vector<std::string> subfolders;
  while (dirent* entry = ::readdir(entries)) {
    if (entry->d_type == DT_DIR && !is_hidden_or_dots(entry->d_name)) subfolders.push_back(entry->d_name);
  }
  ::closedir(entries);
  for (const std::string& name : subfolders) add_tree(folder + "/" + name, depth + 1);
}

void FolderWatcher::handle_events() {
  alignas(inotify_event) char buffer[16384];
  for (;;) {
    ssize_t size = ::read(inotify_, buffer, sizeof buffer);
    if (size <= 0) return;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= size;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      auto folder = folders_.find(event->wd);
      if (folder == folders_.end()) continue;
      if (event->mask & IN_IGNORED) {
        watched_.erase(folder->second.first);
        folders_.erase(folder);
        continue;
      }
      if (event->len == 0) continue;
      std::string path = folder->second.first + "/" + event->name;
      if (event->mask & IN_ISDIR) {
        if ((event->mask & (IN_CREATE | IN_MOVED_TO)) && !is_hidden_or_dots(event->name)) {
          add_tree(path, folder->second.second + 1);
        }
      } else if (event->mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) {
        on_written_(path);
      }
    }
  }
}

}  // namespace zyp::hookdev
