// zypserver: the one process that has the crypto provider loaded. Linking
// libzypprov runs the provider's load (token module, watcher threads) as the
// program starts, and its unload when the program ends.
#include "channel/provider_calls.h"
#include "channel/server.h"
#include "platform/export_guard.h"

// The session and PIN calls come with the provider's dialogs. A provider
// built without them leaves these references empty, and the server answers
// as a cancelled dialog would.
#pragma weak ZYPCIPOpenSession
#pragma weak ZYPCIPChangeSecret
#pragma weak ZYPCIPChangeSecretEx
#pragma weak ZYPCIPReInsertKeyHolder
#pragma weak ZYPCIPCloneCard

namespace {

constexpr int kCancelled = 9;

int open_session(uint32_t token) { return ZYPCIPOpenSession ? ZYPCIPOpenSession(token) : 0; }
int change_secret(uint32_t token) { return ZYPCIPChangeSecret ? ZYPCIPChangeSecret(token) : 0; }
int change_secret_ex(uint32_t token, const char* current, const char* fresh) {
  return ZYPCIPChangeSecretEx ? ZYPCIPChangeSecretEx(token, current, fresh) : 0;
}
int reinsert_key_holder(uint32_t token) {
  return ZYPCIPReInsertKeyHolder ? ZYPCIPReInsertKeyHolder(token) : kCancelled;
}
int clone_card(uint32_t token) { return ZYPCIPCloneCard ? ZYPCIPCloneCard(token) : 0; }

const zyp::channel::ProviderCalls kProvider = {
    open_session,
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
    change_secret,
    ZYPCIPReloadConfig,
    ZYPCIPSetCheckPresence,
    ZYPCIPSetInactivity,
    ZYPCIPSetInactivityTime,
    ZYPCIPGetKeyRecoveryField,
    ZYPCIPIsStrongCryptoEnabled,
    ZYPCIPSetKeyRecoveryPublicKey,
    ZYPCIPGetBinKeyRecoveryField,
    change_secret_ex,
    ZYPCIPIsCompanyKeyRecoveryActive,
    ZYPCIPGenerateSessionKeyFromKeyRecoveryField,
    reinsert_key_holder,
    clone_card,
};

}  // namespace

int main() {
  return zyp::platform::guarded(zyp::channel::kServerFailed, [] {
    return zyp::channel::run_server(kProvider, zyp::channel::idle_limit_ms());
  });
}
