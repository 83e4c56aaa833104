#pragma once
// The dialogs of session opening, for the provider's own callers (the card
// copy asks for the token again through the insertion dialog).
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/export_guard.h"
#include "provider/frame.h"

namespace zyp::prov {

inline constexpr int kDialogDone = 0;
inline constexpr int kDialogCancelled = 9;

// Dialogs run one at a time in a process; the exported calls that show them
// hold this lock for their whole run (never the provider's lock, which the
// dialogs take only around each token call).
std::mutex& dialog_lock();

// Runs a call that shows dialogs: the provider attached (else
// `unavailable`), one such call at a time, no exception out.
template <typename Body>
int with_dialogs(int unavailable, Body&& body) noexcept {
  return platform::guarded(unavailable, [&]() -> int {
    Provider* p = provider();
    if (!p) return unavailable;
    std::lock_guard one_at_a_time(dialog_lock());
    return body(*p);
  });
}

// String `id` of the provider's language module; empty when missing.
std::string provider_text(const Provider& provider, uint32_t id);

// The insertion dialog (138): 0 once the token of the open session (or any
// token, when it has none) is present; 9 when the user cancelled.
int insertion_dialog(Provider& provider, uint32_t token);

}  // namespace zyp::prov
