// The shared configuration block, its attach and detach with the library,
// and ZYPReloadConfig.
#include "toolbox/config.h"

#include <sched.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>

#include "platform/export_guard.h"
#include "platform/shared_memory.h"
#include "platform/system_info.h"
#include "toolbox/resources.h"
#include "zyp/zypprof.h"
#include "zyp/zyptools.h"

namespace zyp::tools {
namespace {

constexpr char kBlockName[] = "ZYPTOOLS_SHARED_CONFIG";
constexpr char kOwnResources[] = "ZYPres";

struct SharedConfig {
  int32_t attach_count;
  uint32_t trace_mask;
  char trace_target[260];
  char app_title[50];
  char language[4];
  char version[30];
  char version_string[30];
  char copyright[50];
  uint32_t serial_port_base;
  // Taken while the texts are copied in or out, so that no reader sees a
  // half-written trace target.
  uint32_t text_lock;
};

// A short lock on the shared texts. A holder that died while copying would
// leave it taken, so after a while the lock is simply taken over.
class TextLock {
 public:
  explicit TextLock(SharedConfig& block) : word_(block.text_lock) {
    auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    while (word_.exchange(1, std::memory_order_acquire) != 0 && std::chrono::steady_clock::now() < give_up)
      ::sched_yield();
  }
  ~TextLock() { word_.store(0, std::memory_order_release); }
  TextLock(const TextLock&) = delete;
  TextLock& operator=(const TextLock&) = delete;

 private:
  std::atomic_ref<uint32_t> word_;
};

struct Attachment {
  platform::SharedBlock<SharedConfig> block{kBlockName};
  pid_t owner = ::getpid();
  std::unique_ptr<platform::LanguageModule> resources;
};

// Set while the library is loaded; made before any thread of the process
// can call the library and removed after the last call.
Attachment* g_attachment = nullptr;

SharedConfig* shared() { return g_attachment ? g_attachment->block.get() : nullptr; }

// Copies the text cut to the field and terminated, the rest of the field zeroed.
template <size_t N>
void store_text(char (&field)[N], const char* text) {
  size_t length = strnlen(text, N - 1);
  std::memset(field, 0, N);
  std::memcpy(field, text, length);
}

template <size_t N>
std::string load_text(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

std::string language_for_block() {
  std::string code = platform::language_code().substr(0, 3);
  std::transform(code.begin(), code.end(), code.begin(),
                 [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
  return code;
}

void attach() {
  g_attachment = new Attachment;
  try {
    if (SharedConfig* block = shared()) {
      // The first process to load the library reads the configuration for all.
      if (std::atomic_ref<int32_t>(block->attach_count).fetch_add(1) == 0) reload_config();
    }
    g_attachment->resources = load_language_resources(kOwnResources);
  } catch (...) {
    // Short of memory while loading: the library goes on without what failed.
  }
}

void detach() {
  // A forked child that never loaded the library itself does not count.
  if (g_attachment->owner == ::getpid()) {
    if (SharedConfig* block = shared()) std::atomic_ref<int32_t>(block->attach_count).fetch_sub(1);
  }
  delete g_attachment;
  g_attachment = nullptr;
}

__attribute__((constructor)) void attach_library() {
  platform::guarded(0, [] {
    attach();
    return 0;
  });
}

__attribute__((destructor)) void detach_library() {
  if (g_attachment) detach();
}

}  // namespace

std::optional<Config> current_config() {
  SharedConfig* block = shared();
  if (!block) return std::nullopt;
  Config config;
  TextLock lock(*block);
  config.trace_mask = std::atomic_ref<uint32_t>(block->trace_mask).load();
  config.serial_port_base = std::atomic_ref<uint32_t>(block->serial_port_base).load();
  config.trace_target = load_text(block->trace_target);
  config.app_title = load_text(block->app_title);
  config.language = load_text(block->language);
  config.version = load_text(block->version);
  config.version_string = load_text(block->version_string);
  config.copyright = load_text(block->copyright);
  return config;
}

uint32_t current_trace_mask() {
  SharedConfig* block = shared();
  return block ? std::atomic_ref<uint32_t>(block->trace_mask).load() : 0;
}

std::string current_language() {
  auto config = current_config();
  if (config && !config->language.empty()) return config->language;
  return language_for_block();
}

void reload_config() {
  SharedConfig* block = shared();
  if (!block) return;
  char target[sizeof block->trace_target] = {};
  ZYPGetProfileString("Debug", "TraceFile", "", target, sizeof target);
  uint32_t port_base = 0;
  if (::strcasecmp(target, "COM1") == 0) port_base = kCom1PortBase;
  if (::strcasecmp(target, "COM2") == 0) port_base = kCom2PortBase;
  bool target_found = target[0] != '\0';
  uint32_t mask = target_found ? ZYPGetProfileDWord("Debug", "TraceFlag", 0) : 0;
  std::string language = language_for_block();
  char title[sizeof block->app_title] = {};
  char version_string[sizeof block->version_string] = {};
  char version[sizeof block->version] = {};
  char copyright[sizeof block->copyright] = {};
  ZYPGetProfileString("General", "AppTitle", "", title, sizeof title);
  ZYPGetProfileString("General", "VersionString", "", version_string, sizeof version_string);
  ZYPGetProfileString("General", "Version", "", version, sizeof version);
  ZYPGetProfileString("General", "Copyright", "", copyright, sizeof copyright);

  TextLock lock(*block);
  store_text(block->trace_target, target);
  // A chosen serial port stays in force until every process has unloaded the library.
  if (port_base) std::atomic_ref<uint32_t>(block->serial_port_base).store(port_base);
  if (target_found) std::atomic_ref<uint32_t>(block->trace_mask).store(mask);
  store_text(block->language, language.c_str());
  store_text(block->app_title, title);
  store_text(block->version_string, version_string);
  store_text(block->version, version);
  store_text(block->copyright, copyright);
}

const platform::LanguageModule* own_resources() { return g_attachment ? g_attachment->resources.get() : nullptr; }

}  // namespace zyp::tools

ZYP_API int ZYPReloadConfig(void) {
  zyp::platform::guarded(0, [] {
    zyp::tools::reload_config();
    return 0;
  });
  return 0;
}
