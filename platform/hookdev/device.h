#pragma once
// The stand-in for the file-system filter driver's device "\\.\zyphook".
//
// The driver lies outside the suite; here every process that loads the hook
// client opens this device, which answers the driver's device-control codes
// (platform/hookdev/protocol.h) with exactly their buffer sizes:
// - questions about files from the files on disk: the header of a file, the
//   mark of a folder (its desktop.ini), whether a file may be encrypted, the
//   current and target header of an open file;
// - everything the driver remembers from a shared block that every process
//   sees (zeroed when no process has it open): the exclusion list, the
//   automatic settings, the drive mask, the product name, the registered
//   request server (with its process identity, so a server that died counts
//   as none), the recorded targets of files, the folders known to be marked,
//   and the bounded queue of requests for the server. The named manual-reset
//   event "ZYPSignalEvt" is set exactly while the queue is not empty.
//
// The process registered as the request server also watches the marked
// folder trees (platform/hookdev/folder_watch.h) and queues request 2 for
// every plain file closed after writing, or moved in, in a marked folder.
//
// The device is absent while the machine setting "General"/"HookDevice"
// (default 1) is 0: every control call then fails, which the client reports
// as 70. The setting is read on every call, so switching it takes effect at
// once in every process.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/hookdev/protocol.h"

namespace zyp::hookdev {

struct SharedDeviceState;
class FolderWatcher;

inline constexpr char kSignalEventName[] = "ZYPSignalEvt";

// The machine setting "General"/"HookDevice" is not 0.
bool device_switched_on();

class Device {
 public:
  // Attaches the shared block. Null when it cannot be attached (*error says why).
  static std::unique_ptr<Device> open(std::string* error = nullptr);
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // DeviceIoControl: true when the device carried out `code`. False (nothing
  // written) while the device is switched off, for an unknown code, a buffer
  // of another size than the code's, or a request the device refuses (a
  // second live server registering).
  bool control(uint32_t code, const void* input, size_t input_size, void* output, size_t output_size);

  // Queues a request for the server as the driver does; false when the queue
  // is full or the same request is already waiting.
  bool queue_request(const HookRequest& request);

  // The last request that the server answered, with its result.
  struct ServedRequest {
    uint32_t code;
    std::string path;
    uint32_t result;
    uint32_t count;  // requests answered since the block was made
  };
  ServedRequest last_served();

  // What the device was told: the automatic settings, drive mask and product name.
  struct Settings {
    uint32_t auto_decrypt;
    uint32_t secure_erase_flag;
    uint32_t secure_erase_passes;
    uint32_t drive_mask;
    std::string product_name;
  };
  Settings settings();

  // A file was closed after writing, or moved in, in a watched folder: queue
  // request 2 when its folder is marked, it is plain, and it was not recorded
  // to stay clear.
  void file_written(const std::string& path);
  // The roots to watch: `drive_folder` and the folders known to be marked.
  std::vector<std::string> watch_roots(const std::string& drive_folder);
  // How many folders the registered server's process watches (0 before its
  // watch has looked at the roots).
  uint32_t watched_folders();

 private:
  struct Shared;
  explicit Device(std::unique_ptr<Shared> shared);
  SharedDeviceState& state();

  uint32_t answer_file_header(const FileHeaderQuery& query, FileHeader& header);
  uint32_t answer_folder_header(const std::string& folder, FileHeader& header);
  uint32_t answer_allow_encrypt(const std::string& path);
  uint32_t answer_open_file_state(const std::string& path, OpenFileState& state);
  uint32_t exclusion_walk(const std::string& path);
  std::optional<FileHeader> recorded_target(const std::string& path);
  void record_target(const OpenedFileInfo& info);
  void remember_mark(const std::string& folder);
  bool register_server(bool stop);
  uint32_t server_state();
  void fetch_request(HookRequest& request);
  void take_reply(const HookReply& reply);
  void mark_api_caller(bool on);
  void signal_queue(bool not_empty);
  void report_watched(size_t folders);

  std::unique_ptr<Shared> shared_;
  std::mutex watcher_lock_;
  std::unique_ptr<FolderWatcher> watcher_;
};

}  // namespace zyp::hookdev
