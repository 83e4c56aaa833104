#include "provider/sessions.h"

#include "provider/trace.h"
#include "zyp/zypsess.h"

namespace zyp::prov {
namespace {

constexpr int kStateNoSession = 1;

void release(Provider& provider, ContextRecord& record) {
  uint32_t token = record.token;
  record.logged_in = 0;
  record.session = 0;
  record.in_use = 0;
  ZYPSetSessionState(static_cast<int>(token), kStateNoSession);
  provider.key_map().forget_token(token);
}

}  // namespace

ContextRecord* record_of(Provider& provider, uint32_t token) {
  for (ContextRecord& record : provider.records()) {
    if (record.in_use == 1 && record.token == token) return &record;
  }
  return nullptr;
}

ContextRecord* free_record(Provider& provider) {
  for (ContextRecord& record : provider.records()) {
    if (record.in_use == 0) return &record;
  }
  return nullptr;
}

void refresh_activity(ContextRecord& record, const SharedVariables& shared) {
  record.countdown = shared.inactivity_time;
  record.last_use = now_seconds();
}

bool has_valid_session(Provider& provider, uint32_t token) {
  ContextRecord* record = record_of(provider, token);
  return record && record->logged_in;
}

std::optional<CK_SESSION_HANDLE> valid_session(Provider& provider, uint32_t token) {
  ContextRecord* record = record_of(provider, token);
  if (!record || !record->logged_in) {
    ZYPTrace(kTraceFailure, "validSession tokenId = %X failed", token);
    return std::nullopt;
  }
  refresh_activity(*record, provider.shared());
  return record->session;
}

void close_token_session(Provider& provider, uint32_t token) {
  ContextRecord* record = record_of(provider, token);
  if (!record || record->session == 0) return;
  provider.p11().C_CloseSession(record->session);
  release(provider, *record);
}

void close_record(Provider& provider, ContextRecord& record) {
  record.logged_in = 0;
  provider.p11().C_CloseSession(record.session);
  release(provider, record);
}

bool token_present(Provider& provider, uint32_t token) {
  CK_SLOT_INFO info{};
  return provider.p11().C_GetSlotInfo(token, &info) == CKR_OK && (info.flags & CKF_TOKEN_PRESENT);
}

}  // namespace zyp::prov
