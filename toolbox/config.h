#pragma once
// The toolbox's machine-wide configuration: a block shared by every process
// that has the library loaded (the library's shared data), attached when the
// library is loaded and detached when it is unloaded.
#include <cstdint>
#include <optional>
#include <string>

namespace zyp::platform {
class LanguageModule;
}

namespace zyp::tools {

inline constexpr uint32_t kCom1PortBase = 0x3F8;
inline constexpr uint32_t kCom2PortBase = 0x2F8;
inline constexpr uint32_t kTraceTimeBit = 0x80000000u;

// A consistent copy of the shared values.
struct Config {
  uint32_t trace_mask = 0;
  std::string trace_target;
  std::string app_title;
  std::string language;
  std::string version;
  std::string version_string;
  std::string copyright;
  uint32_t serial_port_base = 0;
};

// Empty when the shared block could not be attached (the runtime folder is
// refused); the calls that need it then do nothing.
std::optional<Config> current_config();

// The trace mask alone, for the quick test of every trace call; 0 when not attached.
uint32_t current_trace_mask();

// The user-interface language: the shared value, or the process's own when
// the block is not attached.
std::string current_language();

// Reads the configuration into the shared block (ZYPReloadConfig).
void reload_config();

// The toolbox's own language module "ZYPres", loaded at attach; may be null.
const platform::LanguageModule* own_resources();

}  // namespace zyp::tools
