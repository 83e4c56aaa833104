// zypserver: the one process that has the crypto provider loaded. Linking
// libzypprov runs the provider's load (token module, watcher threads) as the
// program starts, and its unload when the program ends.
#include <cstdio>

#include "channel/provider_calls.h"
#include "channel/server.h"
#include "platform/export_guard.h"

namespace {

const zyp::channel::ProviderCalls kProvider = {
    ZYPCIPOpenSession,
    ZYPCIPCloseSession,
    ZYPCIPEnumToken,
    ZYPCIPEnumAlgorithm,
    ZYPCIPEnumKey,
    ZYPCIPGetTokenName,
    ZYPCIPGetAlgoName,
    ZYPCIPGetKeyName,
    ZYPCIPGetKeyFormat,
    ZYPCIPGenerateRandomKey,
    ZYPCIPGenerateKeyFromSentence,
    ZYPCIPGenerateKeyFromBin,
    ZYPCIPDeleteKey,
    ZYPCIPGetBlockSize,
    ZYPCIPCryptBuffer,
    ZYPCIPDecryptBuffer,
    ZYPCIPHashBuffer,
    ZYPCIPSignBuffer,
    ZYPCIPVerifyBuffer,
    ZYPCIPChangeSecret,
    ZYPCIPReloadConfig,
    ZYPCIPSetCheckPresence,
    ZYPCIPSetInactivity,
    ZYPCIPSetInactivityTime,
    ZYPCIPGetKeyRecoveryField,
    ZYPCIPIsStrongCryptoEnabled,
    ZYPCIPSetKeyRecoveryPublicKey,
    ZYPCIPGetBinKeyRecoveryField,
    ZYPCIPChangeSecretEx,
    ZYPCIPIsCompanyKeyRecoveryActive,
    ZYPCIPGenerateSessionKeyFromKeyRecoveryField,
    ZYPCIPReInsertKeyHolder,
    ZYPCIPCloneCard,
};

// A provider without its token module answers every request with code 20;
// the server still serves, so that its callers learn that, and its log (the
// standard error that `zyp` directs to zypserver.log) says why.
void log_provider_load_error() {
  char reason[1024] = {};
  if (ZYPGetProviderLoadError(reason, sizeof reason))
    std::fprintf(stderr, "zypserver: the crypto provider is unusable: %s\n", reason);
}

}  // namespace

int main() {
  log_provider_load_error();
  return zyp::platform::guarded(zyp::channel::kServerFailed, [] {
    return zyp::channel::run_server(kProvider, zyp::channel::idle_limit_ms());
  });
}
