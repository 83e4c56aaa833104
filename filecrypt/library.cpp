// Process attach and detach of libzypfile.so.
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>

#include "filecrypt/journal.h"
#include "filecrypt/library_state.h"
#include "filecrypt/send_folder.h"
#include "filecrypt/settings.h"
#include "platform/shared_memory.h"
#include "zyp/zyptools.h"

namespace zyp::file {
namespace {

struct Library {
  // A child made by fork() inherits the attachment but never counted itself.
  pid_t attached_by = ::getpid();
  ZYPResourceModule* resources = nullptr;
  std::unique_ptr<platform::SharedBlock<SharedSettings>> shared;
};

std::atomic<Library*> g_library{nullptr};

int32_t add_to_load_count(SharedSettings& shared, int32_t change) {
  return std::atomic_ref<int32_t>(shared.load_count).fetch_add(change) + change;
}

void first_load(SharedSettings& shared) {
  refresh_setting(CachedSetting::progress, &shared);
  refresh_setting(CachedSetting::compression, &shared);
  refresh_setting(CachedSetting::erase_passes, &shared);
  std::atomic_ref<uint32_t>(shared.nt_family).store(1);
  wipe_send_folder();
}

void detach_at_exit() { detach_process(); }

// Registered from the constructor, after the libraries this one uses have
// started, the exit handler detaches before their static objects go; on
// dlclose the destructor comes first and the handler finds nothing to do.
__attribute__((constructor)) void on_load() {
  if (attach_process()) std::atexit(detach_at_exit);
}

__attribute__((destructor)) void on_unload() { detach_process(); }

}  // namespace

SharedSettings* shared_settings() {
  Library* library = g_library.load();
  return library && library->shared ? library->shared->get() : nullptr;
}

ZYPResourceModule* resources() {
  Library* library = g_library.load();
  return library ? library->resources : nullptr;
}

bool attach_process() {
  if (g_library.load()) return true;
  std::unique_ptr<Library> library(new (std::nothrow) Library);
  if (!library) return false;
  try {
    library->resources = ZYPLoadResource("ZYPFILE");
    auto shared = std::make_unique<platform::SharedBlock<SharedSettings>>(kSharedSettingsName);
    if (shared->attached()) library->shared = std::move(shared);
  } catch (...) {
    // Without the shared block the settings are read from the profile.
  }
  Library* attached = library.release();
  g_library.store(attached);
  if (attached->shared) {
    SharedSettings& shared = *attached->shared->get();
    try {
      if (add_to_load_count(shared, 1) == 1) first_load(shared);
    } catch (...) {
    }
  }
  // A rewrite that a killed or stopped operation left midway is settled
  // before this process touches any file.
  try {
    recover_interrupted_rewrites();
  } catch (...) {
  }
  return true;
}

void detach_process() {
  std::unique_ptr<Library> library(g_library.exchange(nullptr));
  if (!library) return;
  try {
    bool counted = library->shared && library->attached_by == ::getpid();
    if (counted && add_to_load_count(*library->shared->get(), -1) == 0) wipe_send_folder();
  } catch (...) {
  }
  if (library->resources) ZYPFreeResource(library->resources);
}

}  // namespace zyp::file
