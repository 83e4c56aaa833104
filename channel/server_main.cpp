// zypserver: the one process that has the crypto provider loaded. Linking
// libzypprov runs the provider's load (token module, watcher threads) as the
// program starts, and its unload when the program ends.
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

}  // namespace

int main() {
  return zyp::platform::guarded(zyp::channel::kServerFailed, [] {
    return zyp::channel::run_server(kProvider, zyp::channel::idle_limit_ms());
  });
}
