#include "platform/hookdev/device.h"

#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <cstring>

#include "filecrypt/mark_format.h"
#include "platform/drives.h"
#include "platform/files.h"
#include "platform/hookdev/file_questions.h"
#include "platform/hookdev/folder_watch.h"
#include "platform/named_event.h"
#include "platform/object_files.h"
#include "platform/shared_memory.h"
#include "zyp/zypprof.h"

namespace zyp::hookdev {

namespace objects = platform::objects;

constexpr char kSharedStateName[] = "ZYPHOOK_DEVICE";
constexpr size_t kMaxExclusions = 128;
constexpr size_t kMaxTargets = 64;
constexpr size_t kMaxQueued = 32;
constexpr size_t kMaxMarks = 64;
constexpr size_t kMaxApiCallers = 32;

struct TargetRecord {
  char path[kPathField];
  FileHeader header;
  uint32_t used;
};

struct ApiCaller {
  int32_t pid;
  uint32_t depth;
};

struct ServedRecord {
  uint32_t code;
  uint32_t result;
  uint32_t count;
  char path[kPathField];
};

// Valid when all bytes are zero: no server, empty lists, lock free.
struct SharedDeviceState {
  int32_t lock_owner;  // process id of the holder, 0 when free
  uint32_t auto_decrypt;
  uint32_t secure_erase_flag;
  uint32_t secure_erase_passes;
  uint32_t drive_mask;
  objects::ProcessIdentity server;  // pid 0: none registered
  uint32_t watched_folders;         // by the server's process
  char product_name[kPathField];
  HookRequest in_service;  // fetched and not answered yet
  ServedRecord last_served;
  ApiCaller api_callers[kMaxApiCallers];
  uint32_t exclusion_count;
  ExclusionEntry exclusions[kMaxExclusions];
  uint32_t target_next;
  TargetRecord targets[kMaxTargets];
  uint32_t queue_head;
  uint32_t queue_count;
  HookRequest queue[kMaxQueued];
  uint32_t mark_next;
  char marks[kMaxMarks][kPathField];
};

struct Device::Shared {
  std::unique_ptr<platform::SharedMemory> memory;
};

namespace {

// Holds the shared state for one short change. The owner is a process id:
// a holder that died (or is a zombie) is found and its lock taken over.
class StateLock {
 public:
  explicit StateLock(SharedDeviceState& state) : owner_(state.lock_owner) {
    const int32_t self = objects::current_pid();
    for (long pause_ns = 20000;; pause_ns = std::min(pause_ns * 2, 2000000L)) {
      int32_t holder = 0;
      if (owner_.compare_exchange_strong(holder, self)) return;
      if (holder != self && !objects::process_start_time(holder) && owner_.compare_exchange_strong(holder, self)) {
        return;
      }
      timespec pause{0, pause_ns};
      ::nanosleep(&pause, nullptr);
    }
  }
  ~StateLock() { owner_.store(0); }
  StateLock(const StateLock&) = delete;
  StateLock& operator=(const StateLock&) = delete;

 private:
  std::atomic_ref<int32_t> owner_;
};

std::string path_of(const char (&field)[kPathField]) { return std::string(field, ::strnlen(field, kPathField)); }

template <typename Record>
bool fits(const void* buffer, size_t size) {
  return buffer && size == sizeof(Record);
}

uint32_t* word_out(void* output, size_t size) {
  return fits<uint32_t>(output, size) ? static_cast<uint32_t*>(output) : nullptr;
}

bool server_alive(const objects::ProcessIdentity& server) { return server.pid != 0 && objects::is_running(server); }

bool is_regular_file(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string without_trailing_slashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

void copy_path_field(char (&field)[kPathField], const char* path) {
  std::memset(field, 0, kPathField);
  if (path) std::memcpy(field, path, ::strnlen(path, kPathField - 1));
}

bool device_switched_on() { return ZYPGetProfileDWord("General", "HookDevice", 1) != 0; }

std::unique_ptr<Device> Device::open(std::string* error) {
  auto shared = std::make_unique<Shared>();
  shared->memory = platform::SharedMemory::create(kSharedStateName, sizeof(SharedDeviceState), nullptr, error);
  if (!shared->memory) return nullptr;
  return std::unique_ptr<Device>(new Device(std::move(shared)));
}

Device::Device(std::unique_ptr<Shared> shared) : shared_(std::move(shared)) {}

Device::~Device() {
  std::unique_ptr<FolderWatcher> watcher;
  {
    std::lock_guard<std::mutex> guard(watcher_lock_);
    watcher = std::move(watcher_);
  }
  watcher.reset();
}

SharedDeviceState& Device::state() { return *static_cast<SharedDeviceState*>(shared_->memory->data()); }

bool Device::control(uint32_t code, const void* input, size_t input_size, void* output, size_t output_size) {
  if (!device_switched_on()) return false;
  switch (code) {
    case kReply:
      if (!fits<HookReply>(input, input_size)) return false;
      take_reply(*static_cast<const HookReply*>(input));
      return true;
    case kFetchRequest:
      if (!fits<HookRequest>(input, input_size) || !fits<HookRequest>(output, output_size)) return false;
      fetch_request(*static_cast<HookRequest*>(output));
      return true;
    case kServerState:
      if (uint32_t* word = word_out(output, output_size)) return *word = server_state(), true;
      return false;
    case kRegisterServer: {
      uint32_t* word = word_out(output, output_size);
      if (!fits<ServerRegistration>(input, input_size) || !word) return false;
      if (!register_server(static_cast<const ServerRegistration*>(input)->stop != 0)) return false;
      *word = kOk;
      return true;
    }
    case kAutoDecrypt:
    case kDriveMask: {
      uint32_t* word = word_out(output, output_size);
      if (!fits<uint32_t>(input, input_size) || !word) return false;
      uint32_t value;
      std::memcpy(&value, input, sizeof value);
      StateLock lock(state());
      (code == kAutoDecrypt ? state().auto_decrypt : state().drive_mask) = value;
      *word = kOk;
      return true;
    }
    case kAutoSecureErase: {
      uint32_t* word = word_out(output, output_size);
      if (!fits<SecureEraseSetting>(input, input_size) || !word) return false;
      const auto* setting = static_cast<const SecureEraseSetting*>(input);
      StateLock lock(state());
      state().secure_erase_flag = setting->flag;
      state().secure_erase_passes = setting->passes;
      *word = kOk;
      return true;
    }
    case kAllowEncrypt: {
      uint32_t* word = word_out(output, output_size);
      if (!fits<char[kPathField]>(input, input_size) || !word) return false;
      *word = answer_allow_encrypt(path_of(*static_cast<const char(*)[kPathField]>(input)));
      return true;
    }
    case kApiCallerOn:
    case kApiCallerOff:
      mark_api_caller(code == kApiCallerOn);
      return true;
    case kFileHeader: {
      if (!fits<FileHeaderQuery>(input, input_size) || !fits<FileHeaderAnswer>(output, output_size)) return false;
      auto* answer = static_cast<FileHeaderAnswer*>(output);
      answer->result = answer_file_header(*static_cast<const FileHeaderQuery*>(input), answer->header);
      return true;
    }
    case kFolderHeader: {
      if (!fits<char[kPathField]>(input, input_size) || !fits<FolderHeaderAnswer>(output, output_size)) return false;
      auto* answer = static_cast<FolderHeaderAnswer*>(output);
      answer->result = answer_folder_header(path_of(*static_cast<const char(*)[kPathField]>(input)), answer->header);
      return true;
    }
    case kSetOpenedFileInfo: {
      uint32_t* word = word_out(output, output_size);
      if (!fits<OpenedFileInfo>(input, input_size) || !word) return false;
      record_target(*static_cast<const OpenedFileInfo*>(input));
      *word = kCallerProcesses;
      return true;
    }
    case kWatchEnd: {
      uint32_t* word = word_out(output, output_size);
      if (!fits<char[kPathField]>(input, input_size) || !word) return false;
      *word = kOk;
      return true;
    }
    case kClearExclusions: {
      StateLock lock(state());
      state().exclusion_count = 0;
      return true;
    }
    case kProductName: {
      if (!fits<char[kPathField]>(input, input_size)) return false;
      StateLock lock(state());
      copy_path_field(state().product_name, path_of(*static_cast<const char(*)[kPathField]>(input)).c_str());
      return true;
    }
    case kAddExclusion: {
      uint32_t* word = word_out(output, output_size);
      if (!fits<ExclusionEntry>(input, input_size) || !word) return false;
      StateLock lock(state());
      if (state().exclusion_count >= kMaxExclusions) return false;
      ExclusionEntry& entry = state().exclusions[state().exclusion_count++];
      entry = *static_cast<const ExclusionEntry*>(input);
      copy_path_field(entry.path, without_trailing_slashes(path_of(entry.path)).c_str());
      *word = kOk;
      return true;
    }
    case kOpenFileState: {
      if (!fits<char[kPathField]>(input, input_size) || !fits<OpenFileState>(output, output_size)) return false;
      auto* answer = static_cast<OpenFileState*>(output);
      answer->result = answer_open_file_state(path_of(*static_cast<const char(*)[kPathField]>(input)), *answer);
      return true;
    }
    default:
      return false;
  }
}

uint32_t Device::answer_file_header(const FileHeaderQuery& query, FileHeader& header) {
  std::string path = path_of(query.path);
  if (query.from_disk == 0) {
    if (std::optional<FileHeader> target = recorded_target(path)) {
      header = *target;
      return kOk;
    }
  }
  return static_cast<uint32_t>(header_on_disk(path, header));
}

uint32_t Device::answer_folder_header(const std::string& folder, FileHeader& header) {
  int result = file::read_folder_mark(folder, header);
  if (result == 0) remember_mark(without_trailing_slashes(folder));
  return static_cast<uint32_t>(result);
}

uint32_t Device::answer_allow_encrypt(const std::string& path) {
  FileHeader header;
  if (header_on_disk(path, header) == 0) return kAlreadyEncrypted;
  return exclusion_walk(without_trailing_slashes(path));
}

// Up from the path: the first listed folder decides. 0 allows the folder and
// everything below; 1 refuses the same; another value refuses only the folder
// itself. The Desktop folder is listed with 0, so the walk stops there.
uint32_t Device::exclusion_walk(const std::string& path) {
  StateLock lock(state());
  const SharedDeviceState& shared = state();
  const uint32_t count = std::min<uint32_t>(shared.exclusion_count, kMaxExclusions);
  std::string current = path;
  for (int level = 0;; ++level) {
    for (uint32_t i = 0; i < count; ++i) {
      if (path_of(shared.exclusions[i].path) != current) continue;
      uint32_t value = shared.exclusions[i].value;
      if (value == 0) return kOk;
      if (value == 1 || level == 0) return kExcluded;
      break;
    }
    size_t slash = current.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return kOk;
    current.resize(slash);
  }
}

uint32_t Device::answer_open_file_state(const std::string& path, OpenFileState& answer) {
  if (header_on_disk(path, answer.current) == kPathMissing) return kPathMissing;
  if (open_for_writing_elsewhere(path)) return kOpenForWriting;
  if (header_on_disk(path, answer.current) != 0) {
    std::memset(&answer.current, 0, sizeof answer.current);
    answer.current.Key = ZYPFILE_NO_KEY;
  }
  if (std::optional<FileHeader> target = recorded_target(path)) {
    answer.target = *target;
  } else if (file::read_folder_mark(parent_folder(path), answer.target) != 0) {
    std::memset(&answer.target, 0, sizeof answer.target);
    answer.target.Key = ZYPFILE_NO_KEY;
  }
  return kOk;
}

std::optional<FileHeader> Device::recorded_target(const std::string& path) {
  StateLock lock(state());
  for (const TargetRecord& record : state().targets) {
    if (record.used && path_of(record.path) == path) return record.header;
  }
  return std::nullopt;
}

void Device::record_target(const OpenedFileInfo& info) {
  std::string path = path_of(info.path);
  StateLock lock(state());
  SharedDeviceState& shared = state();
  TargetRecord* slot = nullptr;
  for (TargetRecord& record : shared.targets) {
    if (record.used && path_of(record.path) == path) slot = &record;
  }
  if (!slot) {
    // The oldest record gives way when the table is full.
    slot = &shared.targets[shared.target_next % kMaxTargets];
    shared.target_next = (shared.target_next + 1) % kMaxTargets;
  }
  copy_path_field(slot->path, path.c_str());
  slot->header = info.header;
  slot->used = 1;
}

void Device::remember_mark(const std::string& folder) {
  StateLock lock(state());
  SharedDeviceState& shared = state();
  for (const auto& mark : shared.marks) {
    if (path_of(mark) == folder) return;
  }
  copy_path_field(shared.marks[shared.mark_next % kMaxMarks], folder.c_str());
  shared.mark_next = (shared.mark_next + 1) % kMaxMarks;
}

std::vector<std::string> Device::watch_roots(const std::string& drive_folder) {
  std::vector<std::string> roots{drive_folder};
  StateLock lock(state());
  for (const auto& mark : state().marks) {
    if (mark[0]) roots.push_back(path_of(mark));
  }
  return roots;
}

void Device::file_written(const std::string& path) {
  // The mark itself stays readable: it is what says the folder is marked.
  // The file library's own temporary files come and go within an operation
  // that holds them open: encrypting one under it would spoil its result.
  if (file::is_mark_file(path) || platform::is_temp_file_name(path, "ZYP")) return;
  HookRequest request{};
  if (file::read_folder_mark(parent_folder(path), request.header) != 0) return;
  FileHeader on_disk;
  if (header_on_disk(path, on_disk) != kNoHeader || !is_regular_file(path)) return;
  if (std::optional<FileHeader> target = recorded_target(path); target && target->Key == ZYPFILE_NO_KEY) return;
  request.code = kRequestWatch;
  copy_path_field(request.path, path.c_str());
  queue_request(request);
}

bool Device::register_server(bool stop) {
  const std::optional<objects::ProcessIdentity> self = objects::current_process();
  if (!self) return false;
  {
    StateLock lock(state());
    objects::ProcessIdentity& server = state().server;
    const bool mine = server.pid == self->pid && server.start_time == self->start_time;
    if (stop) {
      if (mine) {
        server = {};
        state().watched_folders = 0;
      }
    } else {
      if (!mine && server_alive(server)) return false;
      server = *self;
      // Requests queued while no server listened must wake this one.
      signal_queue(state().queue_count != 0);
    }
  }
  std::lock_guard<std::mutex> guard(watcher_lock_);
  if (stop) {
    watcher_.reset();
  } else if (!watcher_) {
    std::string drive = platform::system_drive_folder();
    watcher_ = std::make_unique<FolderWatcher>([this, drive] { return watch_roots(drive); },
                                               [this](const std::string& path) { file_written(path); },
                                               [this](size_t folders) { report_watched(folders); });
  }
  return true;
}

void Device::report_watched(size_t folders) {
  StateLock lock(state());
  state().watched_folders = static_cast<uint32_t>(folders);
}

uint32_t Device::watched_folders() {
  StateLock lock(state());
  return state().watched_folders;
}

uint32_t Device::server_state() {
  StateLock lock(state());
  return server_alive(state().server) ? kOk : kServerNone;
}

bool Device::queue_request(const HookRequest& request) {
  StateLock lock(state());
  SharedDeviceState& shared = state();
  if (shared.queue_count >= kMaxQueued) return false;
  for (uint32_t i = 0; i < shared.queue_count; ++i) {
    const HookRequest& waiting = shared.queue[(shared.queue_head + i) % kMaxQueued];
    if (waiting.code == request.code && path_of(waiting.path) == path_of(request.path)) return false;
  }
  HookRequest& slot = shared.queue[(shared.queue_head + shared.queue_count) % kMaxQueued];
  slot = request;
  slot.path[kPathField - 1] = '\0';
  ++shared.queue_count;
  signal_queue(true);
  return true;
}

void Device::fetch_request(HookRequest& request) {
  StateLock lock(state());
  SharedDeviceState& shared = state();
  if (shared.queue_count == 0) {
    std::memset(&request, 0, sizeof request);
  } else {
    request = shared.queue[shared.queue_head % kMaxQueued];
    shared.queue_head = (shared.queue_head + 1) % kMaxQueued;
    --shared.queue_count;
  }
  shared.in_service = request;
  signal_queue(shared.queue_count != 0);
}

void Device::take_reply(const HookReply& reply) {
  StateLock lock(state());
  SharedDeviceState& shared = state();
  shared.last_served.code = shared.in_service.code;
  shared.last_served.result = reply.result;
  std::memcpy(shared.last_served.path, shared.in_service.path, kPathField);
  ++shared.last_served.count;
  std::memset(&shared.in_service, 0, sizeof shared.in_service);
}

Device::ServedRequest Device::last_served() {
  StateLock lock(state());
  const ServedRecord& served = state().last_served;
  return {served.code, path_of(served.path), served.result, served.count};
}

Device::Settings Device::settings() {
  StateLock lock(state());
  const SharedDeviceState& shared = state();
  return {shared.auto_decrypt, shared.secure_erase_flag, shared.secure_erase_passes, shared.drive_mask,
          path_of(shared.product_name)};
}

void Device::mark_api_caller(bool on) {
  const int32_t self = objects::current_pid();
  StateLock lock(state());
  ApiCaller* free_slot = nullptr;
  for (ApiCaller& caller : state().api_callers) {
    if (caller.pid == self) {
      caller.depth = on ? caller.depth + 1 : (caller.depth ? caller.depth - 1 : 0);
      if (caller.depth == 0) caller.pid = 0;
      return;
    }
    bool gone = caller.pid != 0 && !objects::process_start_time(caller.pid);
    if (!free_slot && (caller.pid == 0 || gone)) free_slot = &caller;
  }
  if (on && free_slot) *free_slot = {self, 1};
}

// Called with the state lock held, so the event is set exactly while the
// queue holds requests. The server creates the event; before that there is
// nobody to wake.
void Device::signal_queue(bool not_empty) {
  std::unique_ptr<platform::NamedEvent> event = platform::NamedEvent::open(kSignalEventName);
  if (!event) return;
  if (not_empty) {
    event->set();
  } else {
    event->reset();
  }
}

}  // namespace zyp::hookdev
