#include "cli/results.h"

#include "cli/command_line.h"
#include "cli/server_control.h"
#include "platform/modules.h"
#include "zyp/zypprof.h"
#include "zyp/zypprov.h"
#include "zyp/zypsess.h"

namespace zyp::cli {

std::string_view result_meaning(int code) {
  switch (code) {
    case ZYPCIP_OK: return "success";
    case ZYPCIP_TOO_SMALL: return "the list or buffer is too small";
    case ZYPCIP_CANNOT_GENERATE: return "the algorithm cannot generate keys";
    case ZYPCIP_BAD_LENGTH: return "the length is not a multiple of the block size";
    case ZYPCIP_BAD_KEY_LENGTH: return "the key value has the wrong length";
    case ZYPCIP_NO_MEMORY: return "the provider ran out of memory";
    case ZYPCIP_TOKEN_FAILED: return "the token failed";
    case ZYPCIP_TYPE_3_KEY: return "keys cannot be made for a digest algorithm";
    case ZYPCIP_BAD_SIGNATURE: return "the signature is invalid";
    case ZYPCIP_KEY_MAP_FULL: return "the key identifier could not be registered";
    case ZYPCIP_UNREACHABLE: return "the provider server cannot be reached";
    case ZYPCIP_UNKNOWN_KEY: return "unknown key identifier";
    case ZYPCIP_KEY_EXISTS: return "a key with the same value exists already";
    case ZYPCIP_NO_TOKEN_MODULE: return "the provider cannot load its token module";
    default: return "unexpected result";
  }
}

std::string login_command(uint32_t token) {
  std::string command = "zyp token login";
  if (token != static_cast<uint32_t>(ZYPGetPrimaryToken())) command += " --token " + std::to_string(token);
  return command;
}

namespace {

// The module that the profile names, with the file it stands for.
std::string configured_module() {
  char name[256] = {};
  ZYPGetProfileString("General", "SOFTTOK", "SOFTTOK.DLL", name, sizeof name);
  std::string text = "\"" + std::string(name) + "\"";
  std::string file = platform::find_module(name).value_or(platform::linux_file_name(name));
  if (file != name) text += " (" + file + ")";
  return text;
}

std::string module_hint() {
  std::string hint = "check \"SOFTTOK\" in section \"General\" (`zypconfig` shows it), then restart the server "
                     "(`zyp server stop`)";
  if (auto log = server_log_file()) hint += "; the server's log " + *log + " says why";
  return hint;
}

}  // namespace

void fail(std::string_view what, std::string_view reason) {
  throw Failed("cannot " + std::string(what) + ": " + std::string(reason));
}

void fail_with_code(std::string_view what, int code, uint32_t token) {
  std::string reason(result_meaning(code));
  std::string hint;
  if (code == ZYPCIP_TOKEN_FAILED && ZYPGetSessionState(static_cast<int>(token)) != 0) {
    reason = "no logged-in session on token " + std::to_string(token);
    hint = "run `" + login_command(token) + "`";
  } else if (code == ZYPCIP_NO_TOKEN_MODULE) {
    reason = "the provider cannot load the token module " + configured_module();
    hint = module_hint();
  } else if (code == ZYPCIP_UNREACHABLE) {
    hint = "run `zyp server start`";
  }
  reason += " (code " + std::to_string(code) + ")";
  if (!hint.empty()) reason += "; " + hint;
  fail(what, reason);
}

}  // namespace zyp::cli
