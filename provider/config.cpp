// The configuration calls and the explicit session close.
#include "provider/config.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "provider/calls.h"
#include "provider/sessions.h"
#include "zyp/zypprof.h"
#include "zyp/zypprov.h"

namespace zyp::prov {

void reload_config(SharedVariables& shared) {
  constexpr int kUnset = static_cast<int>(0x80000000u);
  shared.inactivity_enabled = 0;
  shared.inactivity_time = 0;
  int check = ZYPGetUSProfileInt("General", "CheckTokenPresence", kUnset);
  if (check == kUnset) check = ZYPGetProfileInt("General", "CheckTokenPresence", 0);
  shared.presence_check = check == 1 ? 1 : 0;
}

namespace {

int close_session(uint32_t token) {
  return token_call([&](Provider& p) {
    p.key_map().forget_token(token);
    close_token_session(p, token);
    return kOk;
  });
}

}  // namespace
}  // namespace zyp::prov

using namespace zyp::prov;

ZYP_API int ZYPCIPReloadConfig(void) {
  return token_call([](Provider& p) {
    reload_config(p.shared());
    return kOk;
  });
}

ZYP_API int ZYPCIPSetCheckPresence(int32_t flag) {
  return token_call([&](Provider& p) {
    p.shared().presence_check = flag;
    return kOk;
  });
}

ZYP_API int ZYPCIPSetInactivityTime(uint32_t seconds) {
  return token_call([&](Provider& p) {
    p.shared().inactivity_time = seconds;
    return kOk;
  });
}

// Nothing in the suite turns the inactivity watcher on; the value is not used.
ZYP_API int ZYPCIPSetInactivity(int32_t /*value*/) {
  return token_call([](Provider& p) {
    p.shared().inactivity_enabled = 0;
    return kOk;
  });
}

ZYP_API int ZYPGetProviderLoadError(char* text, uint32_t size) {
  return zyp::platform::guarded(0, [&] {
    if (provider()) return 0;
    std::string reason = load_failure();
    if (reason.empty()) reason = "the crypto provider is not attached";
    if (text && size > 0) {
      size_t length = std::min<size_t>(reason.size(), size - 1);
      std::memcpy(text, reason.data(), length);
      text[length] = '\0';
    }
    return 1;
  });
}

ZYP_API int ZYPCIPCloseSession(uint32_t token) { return close_session(token); }

ZYP_API int ZYPCIPCloseSessionEx(uint32_t token) { return close_session(token); }
