#pragma once
// The provider calls the server dispatches to, as a table, so that the
// dispatcher can be driven by a stand-in provider as well as by libzypprov.
#include "zyp/zypclient.h"

namespace zyp::channel {

struct ProviderCalls {
  decltype(&::ZYPCIPOpenSession) open_session;
  decltype(&::ZYPCIPCloseSession) close_session;
  decltype(&::ZYPCIPEnumToken) enum_token;
  decltype(&::ZYPCIPEnumAlgorithm) enum_algorithm;
  decltype(&::ZYPCIPEnumKey) enum_key;
  decltype(&::ZYPCIPGetTokenName) get_token_name;
  decltype(&::ZYPCIPGetAlgoName) get_algo_name;
  decltype(&::ZYPCIPGetKeyName) get_key_name;
  decltype(&::ZYPCIPGetKeyFormat) get_key_format;
  decltype(&::ZYPCIPGenerateRandomKey) generate_random_key;
  decltype(&::ZYPCIPGenerateKeyFromSentence) generate_key_from_sentence;
  decltype(&::ZYPCIPGenerateKeyFromBin) generate_key_from_bin;
  decltype(&::ZYPCIPDeleteKey) delete_key;
  decltype(&::ZYPCIPGetBlockSize) get_block_size;
  decltype(&::ZYPCIPCryptBuffer) crypt_buffer;
  decltype(&::ZYPCIPDecryptBuffer) decrypt_buffer;
  decltype(&::ZYPCIPHashBuffer) hash_buffer;
  decltype(&::ZYPCIPSignBuffer) sign_buffer;
  decltype(&::ZYPCIPVerifyBuffer) verify_buffer;
  decltype(&::ZYPCIPChangeSecret) change_secret;
  decltype(&::ZYPCIPReloadConfig) reload_config;
  decltype(&::ZYPCIPSetCheckPresence) set_check_presence;
  decltype(&::ZYPCIPSetInactivity) set_inactivity;
  decltype(&::ZYPCIPSetInactivityTime) set_inactivity_time;
  decltype(&::ZYPCIPGetKeyRecoveryField) get_key_recovery_field;
  decltype(&::ZYPCIPIsStrongCryptoEnabled) is_strong_crypto_enabled;
  decltype(&::ZYPCIPSetKeyRecoveryPublicKey) set_key_recovery_public_key;
  decltype(&::ZYPCIPGetBinKeyRecoveryField) get_bin_key_recovery_field;
  decltype(&::ZYPCIPChangeSecretEx) change_secret_ex;
  decltype(&::ZYPCIPIsCompanyKeyRecoveryActive) is_company_key_recovery_active;
  decltype(&::ZYPCIPGenerateSessionKeyFromKeyRecoveryField) generate_session_key_from_key_recovery_field;
  decltype(&::ZYPCIPReInsertKeyHolder) reinsert_key_holder;
  decltype(&::ZYPCIPCloneCard) clone_card;
};

}  // namespace zyp::channel
