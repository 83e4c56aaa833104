// Process attach and detach of libzyphook.so, and the device handle.
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>

#include "hook/hook_state.h"
#include "platform/hookdev/device.h"
#include "platform/shared_memory.h"

namespace zyp::hook {
namespace {

struct Library {
  // A child made by fork() inherits the attachment but never counted itself.
  pid_t attached_by = ::getpid();
  std::unique_ptr<hookdev::Device> device;
  std::atomic<bool> device_closed{false};
  std::unique_ptr<platform::SharedBlock<SharedHookState>> shared;
};

std::atomic<Library*> g_library{nullptr};

int32_t add_to_load_count(SharedHookState& shared, int32_t change) {
  return std::atomic_ref<int32_t>(shared.load_count).fetch_add(change) + change;
}

void detach_at_exit() { detach_process(); }

// As in the file library: the exit handler detaches before the static objects
// of the libraries this one uses go; on dlclose the destructor comes first.
__attribute__((constructor)) void on_load() {
  if (attach_process()) std::atexit(detach_at_exit);
}

__attribute__((destructor)) void on_unload() { detach_process(); }

hookdev::Device* open_device() {
  Library* library = g_library.load();
  if (!library || !library->device || library->device_closed.load()) return nullptr;
  return library->device.get();
}

}  // namespace

SharedHookState* shared_state() {
  Library* library = g_library.load();
  return library && library->shared ? library->shared->get() : nullptr;
}

bool device_available() { return open_device() && hookdev::device_switched_on(); }

bool device_control(uint32_t code, const void* input, size_t input_size, void* output, size_t output_size) {
  hookdev::Device* device = open_device();
  return device && device->control(code, input, input_size, output, output_size);
}

void close_device() {
  // The object stays until unload: another thread may be inside a call.
  if (Library* library = g_library.load()) library->device_closed.store(true);
}

bool attach_process() {
  if (g_library.load()) return true;
  std::unique_ptr<Library> library(new (std::nothrow) Library);
  if (!library) return false;
  try {
    library->device = hookdev::Device::open();
    auto shared = std::make_unique<platform::SharedBlock<SharedHookState>>(kSharedName);
    if (shared->attached()) library->shared = std::move(shared);
  } catch (...) {
    // Without the device every call answers 70; without the block the
    // settings are read from the profile.
  }
  Library* attached = library.release();
  g_library.store(attached);
  try {
    if (!attached->shared || add_to_load_count(*attached->shared->get(), 1) == 1) load_settings();
  } catch (...) {
  }
  return true;
}

void detach_process() {
  Library* current = g_library.load();
  if (!current) return;
  if (current->attached_by == ::getpid()) {
    try {
      stop_request_server_of_process();
    } catch (...) {
    }
  }
  std::unique_ptr<Library> library(g_library.exchange(nullptr));
  if (!library) return;
  if (library->attached_by != ::getpid()) {
    // A forked child has copies of its parent's thread objects, whose threads
    // do not exist here: leave everything as it is.
    (void)library.release();
    return;
  }
  if (library->shared) add_to_load_count(*library->shared->get(), -1);
}

}  // namespace zyp::hook
