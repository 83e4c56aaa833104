// Opening a logged-in session through dialogs: the insertion prompt (138),
// the PIN dialog (129), the initialisation of a token that was never set up
// (139) and the PIN change (105). Everything runs on the calling thread; the
// provider's lock is taken around each token call only, so that the
// watchers go on while a dialog waits for the user.
#include "provider/session_dialogs.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/lang_module.h"
#include "platform/ui/ui.h"
#include "provider/login.h"
#include "provider/objects.h"
#include "provider/sessions.h"
#include "provider/trace.h"
#include "zyp/zypprof.h"
#include "zyp/zypprov.h"
#include "zyp/zypsess.h"
#include "zyp/zyptools.h"

namespace zyp::prov {
namespace {

namespace ui = platform::ui;

// Dialog results besides done and cancelled.
constexpr int kTokenRemoved = 12;
// The PIN change dialog closes itself when the session goes away; that is
// not a change, so it has its own result.
constexpr int kSessionGone = 12;

constexpr uint32_t kPinChangeDialog = 105;
constexpr uint32_t kPinDialog = 129;
constexpr uint32_t kInsertionDialog = 138;
constexpr uint32_t kInitialisationDialog = 139;

constexpr uint32_t kOkButton = 1;
constexpr uint32_t kMessage = 6;
constexpr uint32_t kPinEdit = 1000;  // the PIN; in the change dialog the current one
constexpr uint32_t kNewPinEdit = 1001;
constexpr uint32_t kConfirmationEdit = 1002;
constexpr uint32_t kPrompt = 1028;
constexpr uint32_t kPictureArea = 1024;

constexpr uint32_t kInsertionTimer = 100;
constexpr uint32_t kPresenceTimer = 101;
constexpr uint32_t kSessionStateTimer = 102;
constexpr uint32_t kTimerPeriodMs = 100;

enum Text : uint32_t {
  kLoginFailed = 1,
  kChangeFailed = 2,
  kLengthsDiffer = 3,
  kEntriesDiffer = 4,
  kSamePin = 5,
  kWrongPin = 6,
  kInsertPrompt = 7,
  kOfferInitialisation = 8,
  kInitialisationFailed = 9,
  kOtherToken = 10,
  kPinLocked = 11,
  kNoSessionOpens = 19,
};

constexpr int kCentreOverOwner = 1;
constexpr size_t kPinBufferSize = 256;
constexpr char kNewTokenLabel[] = "Password token";
constexpr char kBadAttemptSection[] = "Private";
constexpr char kBadAttemptValue[] = "BadAuth";
constexpr int kFreeAttempts = 3;
constexpr uint32_t kTokenWithoutDelay = 2;
constexpr int kStateNoSession = 1;

// A PIN read from a dialog: its characters are wiped when it goes.
class TypedPin {
 public:
  explicit TypedPin(std::string text) : text_(std::move(text)) {}
  ~TypedPin() { wipe({reinterpret_cast<uint8_t*>(text_.data()), text_.size()}); }
  TypedPin(const TypedPin&) = delete;
  TypedPin& operator=(const TypedPin&) = delete;

  const std::string& text() const { return text_; }
  size_t size() const { return text_.size(); }
  CK_UTF8CHAR* bytes() { return reinterpret_cast<CK_UTF8CHAR*>(text_.data()); }

 private:
  std::string text_;
};

// The last PIN typed in the PIN dialog or chosen in the initialisation
// dialog, for the login that follows. Wiped whenever it is replaced or
// emptied, and when the login attempt is over.
class PinBuffer {
 public:
  ~PinBuffer() { clear(); }
  void set(std::string_view pin) {
    clear();
    length_ = std::min(pin.size(), kPinBufferSize);
    std::memcpy(bytes_, pin.data(), length_);
  }
  void clear() {
    wipe(bytes_);
    length_ = 0;
  }
  CK_UTF8CHAR* data() { return bytes_; }
  CK_ULONG size() const { return length_; }

 private:
  CK_UTF8CHAR bytes_[kPinBufferSize] = {};
  size_t length_ = 0;
};

// The token's PIN length limits; both 0 (or either) means none.
struct PinLimits {
  CK_ULONG min = 0;
  CK_ULONG max = 0;

  bool apply() const { return min != 0 && max != 0; }
  bool admit(size_t length) const { return length >= min && length <= max; }
  uint32_t edit_limit() const { return static_cast<uint32_t>(std::min<CK_ULONG>(max, UINT32_MAX)); }
};

template <typename Body>
auto locked(Provider& p, Body&& body) {
  std::lock_guard guard(p.lock());
  return body(p);
}

PinLimits pin_limits(Provider& p, uint32_t token) {
  return locked(p, [&](Provider& provider) {
    CK_TOKEN_INFO info{};
    if (provider.p11().C_GetTokenInfo(token, &info) != CKR_OK) return PinLimits{};
    return PinLimits{info.ulMinPinLen, info.ulMaxPinLen};
  });
}

// A record's session closed and the record given back, as after a cancel
// or a removal; the token's key map entries go with it.
void give_up_login_session(Provider& p, uint32_t token) {
  locked(p, [&](Provider& provider) {
    if (ContextRecord* record = record_of(provider, token)) {
      if (record->session != 0) provider.p11().C_CloseSession(record->session);
      release_record(*record);
    }
    provider.key_map().forget_token(token);
  });
}

// Bad-attempt counter: a pause of 2^(n-3) seconds once n logins in a row
// failed, n >= 3, up to 256 s. The pause runs inside a request of the
// server, which holds every other client of the server until it ends (one
// request at a time under one system-wide mutex), so it is kept to minutes.
constexpr int kLongestPauseExponent = 8;

uint32_t bad_attempt_pause_ms(int failures) {
  if (failures < kFreeAttempts) return 0;
  int exponent = std::min(failures - kFreeAttempts, kLongestPauseExponent);
  return (1u << exponent) * 1000u;
}

void count_failed_login(uint32_t token) {
  if (token == kTokenWithoutDelay) return;
  int failures = ZYPGetUSProfileInt(kBadAttemptSection, kBadAttemptValue, 0);
  if (uint32_t pause = bad_attempt_pause_ms(failures)) ui::host().sleep(pause);
  ZYPWriteUSProfileInt(kBadAttemptSection, kBadAttemptValue, failures < INT_MAX ? failures + 1 : failures);
}

// C_SetPIN refused the current PIN. The software token then locks its key
// store until the next successful C_Login or C_SetPIN: the session stays
// logged in, but every change of a key fails.
bool current_pin_refused(CK_RV rv) { return rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LOCKED; }

// After a PIN change given up on a refused current PIN the software token's
// session cannot change keys any more (see above), and the provider does not
// keep the user's PIN to log in again: the session is closed, so that the
// token's state says "no session" and the next use asks for the PIN. Other
// modules keep a working session after a refused PIN.
void close_after_refused_pin(Provider& p, uint32_t token) {
  if (!p.software_token()) return;
  ZYPTrace(kTraceFailure, "PIN change given up after a refused current PIN: session of token %X closed", token);
  locked(p, [&](Provider& provider) {
    provider.key_map().wipe();
    close_token_session(provider, token);
  });
}

uint32_t failure_text(CK_RV rv, uint32_t otherwise) {
  if (rv == CKR_PIN_INCORRECT) return kWrongPin;
  if (rv == CKR_PIN_LOCKED) return kPinLocked;
  return otherwise;
}

// What every dialog of the provider does: centred over its owner, the
// picture area animated while it lives.
class ProviderDialog : public ui::DialogHandler {
 public:
  ProviderDialog(Provider& provider, uint32_t token) : provider_(provider), token_(token) {}

  void on_init(ui::Window& window) final {
    ZYPWindow* handle = tools::window_handle(&window);
    ZYPCenterWindow(handle, kCentreOverOwner);
    animation_ = ZYPSetAnimation(handle, provider_.resources(), kPictureArea);
    start(window);
  }
  void on_paint(ui::Window& window) override { ZYPAnimate(tools::window_handle(&window), nullptr, kPictureArea); }
  void on_destroy(ui::Window&) override {
    ZYPDeleteAnimation(animation_);
    animation_ = nullptr;
  }

 protected:
  virtual void start(ui::Window& window) = 0;

  std::string text(uint32_t id) const { return provider_text(provider_, id); }
  void show_message(ui::Window& window, uint32_t id) const { window.set_text(kMessage, text(id)); }
  // Empties the edits (which clears the message as a change of them does),
  // then shows the message and puts the focus on the first edit.
  void refuse(ui::Window& window, std::initializer_list<uint32_t> edits, uint32_t message) const {
    for (uint32_t edit : edits) window.set_text(edit, "");
    show_message(window, message);
    window.set_focus(*edits.begin());
  }
  // OK is enabled exactly when every edit holds a PIN of an admitted length.
  void follow_limits(ui::Window& window, std::initializer_list<uint32_t> edits) const {
    if (!limits_.apply()) return;
    bool admitted = std::all_of(edits.begin(), edits.end(),
                                [&](uint32_t edit) { return limits_.admit(window.text(edit).size()); });
    window.enable(kOkButton, admitted);
  }
  void apply_limits(ui::Window& window, std::initializer_list<uint32_t> edits) {
    limits_ = pin_limits(provider_, token_);
    if (!limits_.apply()) return;
    window.enable(kOkButton, false);
    for (uint32_t edit : edits) window.set_limit(edit, limits_.edit_limit());
  }

  Provider& provider_;
  const uint32_t token_;
  PinLimits limits_;

 private:
  ZYPAnimation* animation_ = nullptr;
};

// The dialog from the provider's language module; a dialog that cannot be
// shown counts as cancelled, so that no loop waits on it.
int show_dialog(Provider& p, uint32_t id, ProviderDialog& handler) {
  const platform::LanguageModule* module = platform::language_module_of(p.resources());
  const platform::DialogTemplate* dialog = module ? module->dialog(id) : nullptr;
  if (!dialog) {
    ZYPTrace(kTraceFailure, "dialog %u is missing from the provider's language module", id);
    return kDialogCancelled;
  }
  int result = ui::host().run_dialog(*dialog, handler);
  return result < 0 ? kDialogCancelled : result;
}

// ---- Insertion dialog -------------------------------------------------------

enum class Inserted { Absent, Expected, Other };

Inserted inserted_token(Provider& p, uint32_t token) {
  return locked(p, [&](Provider& provider) {
    if (!token_present(provider, token)) return Inserted::Absent;
    if (!has_valid_session(provider, token)) return Inserted::Expected;
    CK_TOKEN_INFO info{};
    bool same = provider.p11().C_GetTokenInfo(token, &info) == CKR_OK &&
                std::memcmp(info.serialNumber, provider.remembered_serial().data(), sizeof info.serialNumber) == 0;
    return same ? Inserted::Expected : Inserted::Other;
  });
}

class InsertionDialog final : public ProviderDialog {
 public:
  using ProviderDialog::ProviderDialog;

  void on_command(ui::Window& window, uint32_t control, uint32_t) override {
    if (control != ui::kCancelCommand) return;
    window.kill_timer(kInsertionTimer);
    window.end(kDialogCancelled);
  }
  void on_timer(ui::Window& window, uint32_t timer) override {
    if (timer == kInsertionTimer) check(window);
  }

 private:
  void start(ui::Window& window) override {
    window.set_text(kPrompt, text(kInsertPrompt));
    window.set_timer(kInsertionTimer, kTimerPeriodMs);
    check(window);
  }
  void check(ui::Window& window) {
    switch (inserted_token(provider_, token_)) {
      case Inserted::Absent:
        break;
      case Inserted::Expected:
        window.kill_timer(kInsertionTimer);
        window.end(kDialogDone);
        break;
      case Inserted::Other:
        window.set_text(kPrompt, text(kOtherToken));
        break;
    }
  }
};

// ---- Token initialisation dialog --------------------------------------------

class InitialisationDialog final : public ProviderDialog {
 public:
  InitialisationDialog(Provider& provider, uint32_t token, PinBuffer& pin)
      : ProviderDialog(provider, token), pin_(pin) {}

  void on_command(ui::Window& window, uint32_t control, uint32_t notification) override {
    if (control == ui::kCancelCommand) {
      window.end(kDialogCancelled);
    } else if (control == kOkButton) {
      initialise(window);
    } else if ((control == kNewPinEdit || control == kConfirmationEdit) && notification == ui::kEditChanged) {
      window.set_text(kMessage, "");
      follow_limits(window, {kNewPinEdit, kConfirmationEdit});
    }
  }

 private:
  void start(ui::Window& window) override { apply_limits(window, {kNewPinEdit, kConfirmationEdit}); }

  void initialise(ui::Window& window) {
    TypedPin chosen(window.text(kNewPinEdit));
    TypedPin confirmation(window.text(kConfirmationEdit));
    if (chosen.size() != confirmation.size()) return refuse(window, {kNewPinEdit, kConfirmationEdit}, kLengthsDiffer);
    if (chosen.text() != confirmation.text()) return refuse(window, {kNewPinEdit, kConfirmationEdit}, kEntriesDiffer);
    CK_UTF8CHAR label[32];
    std::memset(label, ' ', sizeof label);
    std::memcpy(label, kNewTokenLabel, sizeof kNewTokenLabel - 1);
    CK_RV rv;
    {
      ui::ScopedWaitCursor waiting;
      rv = locked(provider_, [&](Provider& p) {
        return p.p11().C_InitToken(token_, chosen.bytes(), chosen.size(), label);
      });
    }
    if (rv != CKR_OK) {
      ZYPTrace(kTraceFailure, "C_InitToken failed: 0x%X", hex(rv));
      return refuse(window, {kNewPinEdit, kConfirmationEdit}, rv == CKR_PIN_INCORRECT ? kWrongPin : kInitialisationFailed);
    }
    pin_.set(chosen.text());
    window.end(kDialogDone);
  }

  PinBuffer& pin_;
};

// ---- PIN dialog ---------------------------------------------------------------

class PinDialog final : public ProviderDialog {
 public:
  PinDialog(Provider& provider, uint32_t token, PinBuffer& pin) : ProviderDialog(provider, token), pin_(pin) {}

  void on_command(ui::Window& window, uint32_t control, uint32_t notification) override {
    // Cancel always closes, so that a login without a record cannot keep the
    // dialog (and the login loop) going.
    if (control == ui::kCancelCommand) return cancel(window);
    if (!has_record()) return;
    if (control == kOkButton) {
      log_in(window);
    } else if (control == kPinEdit && notification == ui::kEditChanged) {
      window.set_text(kMessage, "");
      follow_limits(window, {kPinEdit});
    }
  }

  void on_timer(ui::Window& window, uint32_t timer) override {
    if (timer != kPresenceTimer || present()) return;
    give_up_login_session(provider_, token_);
    window.kill_timer(kPresenceTimer);
    window.end(kTokenRemoved);
  }

 private:
  enum class Start { Opened, OpenFailed, Kept, NoRecord };

  void start(ui::Window& window) override {
    CK_RV rv = CKR_OK;
    Start begun = locked(provider_, [&](Provider& p) {
      // A login on this token already under way keeps its record.
      if (record_of(p, token_)) return Start::Kept;
      ContextRecord* record = take_record(p, token_);
      if (!record) return Start::NoRecord;
      rv = open_record_session(p, *record);
      return rv == CKR_OK ? Start::Opened : Start::OpenFailed;
    });
    if (begun == Start::OpenFailed) {
      ZYPTrace(kTraceFailure, "C_OpenSession failed: 0x%X", hex(rv));
      if (never_set_up(rv)) return offer_initialisation(window);
      return refuse_opening(window, rv);
    }
    if (begun != Start::Opened) return;

    apply_limits(window, {kPinEdit});
    if (!present()) {
      give_up_login_session(provider_, token_);
      window.end(kTokenRemoved);
      return;
    }
    window.set_timer(kPresenceTimer, kTimerPeriodMs);
    window.bring_to_front();
    window.set_focus(kPinEdit);
  }

  // Only a token that says it was never set up is offered the
  // initialisation, which wipes whatever the token holds: the software token
  // answers C_OpenSession with CKR_TOKEN_NOT_RECOGNIZED when it has no key
  // store; other modules report it by CKF_TOKEN_INITIALIZED. Any other
  // failure (the token busy in another program, a device error) is no
  // reason to wipe it.
  bool never_set_up(CK_RV open_failure) {
    return locked(provider_, [&](Provider& p) {
      if (p.software_token()) return open_failure == CKR_TOKEN_NOT_RECOGNIZED;
      CK_TOKEN_INFO info{};
      return p.p11().C_GetTokenInfo(token_, &info) == CKR_OK && !(info.flags & CKF_TOKEN_INITIALIZED);
    });
  }

  void refuse_opening(ui::Window& window, CK_RV rv) {
    char code[48];
    std::snprintf(code, sizeof code, " (PKCS #11 error 0x%X)", hex(rv));
    ui::host().message_box(text(kNoSessionOpens) + code, product_name(), ui::kMbOk | ui::kMbIconError, &window);
    release_own_record();
    window.end(kDialogCancelled);
  }

  // A token that was never set up: offer to initialise it (No unless the
  // user says Yes, since it destroys what the token may hold), then log in
  // with the PIN chosen for it.
  void offer_initialisation(ui::Window& window) {
    int answer = ui::host().message_box(text(kOfferInitialisation), product_name(),
                                        ui::kMbYesNo | ui::kMbIconWarning | ui::kMbDefButton2, &window);
    if (answer != ui::kIdYes) {
      release_own_record();
      window.end(kDialogCancelled);
      return;
    }
    InitialisationDialog initialisation(provider_, token_, pin_);
    int result = show_dialog(provider_, kInitialisationDialog, initialisation);
    if (result != kDialogDone) {
      release_own_record();
      window.end(result);
      return;
    }
    CK_RV rv = locked(provider_, [&](Provider& p) {
      ContextRecord* record = record_of(p, token_);
      if (!record) return CKR_SESSION_COUNT;
      CK_RV opened = open_record_session(p, *record);
      if (opened != CKR_OK) {
        release_record(*record);
        return opened;
      }
      return p.p11().C_Login(record->session, CKU_USER, pin_.data(), pin_.size());
    });
    pin_.clear();
    window.end(login_succeeded(rv) ? kDialogDone : static_cast<int>(rv));
  }

  void log_in(ui::Window& window) {
    {
      TypedPin typed(window.text(kPinEdit));
      pin_.set(typed.text());
    }
    CK_RV rv = CKR_OK;
    bool tried;
    {
      ui::ScopedWaitCursor waiting;
      tried = locked(provider_, [&](Provider& p) {
        ContextRecord* record = record_of(p, token_);
        if (!record || record->session == 0) return false;
        rv = p.p11().C_Login(record->session, CKU_USER, pin_.data(), pin_.size());
        return true;
      });
    }
    pin_.clear();
    if (!tried) return;
    if (login_succeeded(rv)) {
      window.kill_timer(kPresenceTimer);
      ZYPWriteUSProfileInt(kBadAttemptSection, kBadAttemptValue, 0);
      window.end(kDialogDone);
      return;
    }
    ZYPTrace(kTraceFailure, "C_Login failed: 0x%X", hex(rv));
    window.set_text(kPinEdit, "");
    show_message(window, failure_text(rv, kLoginFailed));
    count_failed_login(token_);
  }

  void cancel(ui::Window& window) {
    give_up_login_session(provider_, token_);
    window.kill_timer(kPresenceTimer);
    ZYPSetSessionState(static_cast<int>(token_), kStateNoSession);
    window.end(kDialogCancelled);
  }

  static std::string product_name() {
    char product[128] = {};
    ZYPGetProductName(product, sizeof product);
    return product;
  }

  bool has_record() { return locked(provider_, [&](Provider& p) { return record_of(p, token_) != nullptr; }); }
  bool present() { return locked(provider_, [&](Provider& p) { return token_present(p, token_); }); }
  void release_own_record() {
    locked(provider_, [&](Provider& p) {
      if (ContextRecord* record = record_of(p, token_)) release_record(*record);
    });
  }

  PinBuffer& pin_;
};

// ---- PIN change dialog ----------------------------------------------------------

class PinChangeDialog final : public ProviderDialog {
 public:
  using ProviderDialog::ProviderDialog;

  void on_command(ui::Window& window, uint32_t control, uint32_t notification) override {
    if (control == ui::kCancelCommand) {
      window.kill_timer(kSessionStateTimer);
      window.end(kDialogCancelled);
    } else if (control == kOkButton) {
      change(window);
    } else if (notification == ui::kEditChanged &&
               (control == kPinEdit || control == kNewPinEdit || control == kConfirmationEdit)) {
      window.set_text(kMessage, "");
      follow_limits(window, {kPinEdit, kNewPinEdit, kConfirmationEdit});
    }
  }

  void on_timer(ui::Window& window, uint32_t timer) override {
    if (timer != kSessionStateTimer || session_open()) return;
    window.kill_timer(kSessionStateTimer);
    window.end(kSessionGone);
  }

 private:
  void start(ui::Window& window) override {
    apply_limits(window, {kPinEdit, kNewPinEdit, kConfirmationEdit});
    if (!session_open()) {
      window.end(kSessionGone);
      return;
    }
    window.set_timer(kSessionStateTimer, kTimerPeriodMs);
  }

  void change(ui::Window& window) {
    const std::initializer_list<uint32_t> kEdits = {kPinEdit, kNewPinEdit, kConfirmationEdit};
    TypedPin current(window.text(kPinEdit));
    TypedPin chosen(window.text(kNewPinEdit));
    TypedPin confirmation(window.text(kConfirmationEdit));
    if (chosen.size() != confirmation.size()) return refuse(window, kEdits, kLengthsDiffer);
    if (chosen.text() != confirmation.text()) return refuse(window, kEdits, kEntriesDiffer);
    if (current.text() == chosen.text()) return refuse(window, kEdits, kSamePin);
    CK_RV rv = CKR_SESSION_HANDLE_INVALID;
    {
      ui::ScopedWaitCursor waiting;
      locked(provider_, [&](Provider& p) {
        ContextRecord* record = record_of(p, token_);
        if (record && record->session != 0) {
          rv = p.p11().C_SetPIN(record->session, current.bytes(), current.size(), chosen.bytes(), chosen.size());
        }
      });
    }
    current_pin_refused_ = current_pin_refused(rv);
    if (rv != CKR_OK) {
      ZYPTrace(kTraceFailure, "C_SetPIN failed: 0x%X", hex(rv));
      return refuse(window, kEdits, failure_text(rv, kChangeFailed));
    }
    window.kill_timer(kSessionStateTimer);
    window.end(kDialogDone);
  }

 public:
  // The last attempt failed on the current PIN.
  bool refused_current_pin() const { return current_pin_refused_; }

 private:
  bool current_pin_refused_ = false;

  bool session_open() const { return ZYPGetSessionState(static_cast<int>(token_)) == 0; }
};

// ---- The calls ----------------------------------------------------------------

int pin_dialog(Provider& p, uint32_t token, PinBuffer& pin) {
  PinDialog dialog(p, token, pin);
  return show_dialog(p, kPinDialog, dialog);
}

// Insertion prompt, then PIN dialog, until the login is done or the user
// cancels; a removed token brings the insertion prompt back.
int login_loop(Provider& p, uint32_t token) {
  PinBuffer pin;
  int result;
  do {
    result = insertion_dialog(p, token);
    if (result == kDialogDone) {
      pin.clear();
      result = pin_dialog(p, token, pin);
    }
  } while (result != kDialogDone && result != kDialogCancelled);
  return result;
}

bool has_session(Provider& p, uint32_t token) {
  return locked(p, [&](Provider& provider) { return has_valid_session(provider, token); });
}

int open_session(Provider& p, uint32_t token) {
  if (has_session(p, token)) return 0;
  if (login_loop(p, token) != kDialogDone) return 0;
  return locked(p, [&](Provider& provider) {
    ContextRecord* record = record_of(provider, token);
    if (!record) return 0;
    mark_logged_in(provider, *record);
    finish_login(provider, token);
    return 1;
  });
}

int change_secret(Provider& p, uint32_t token) {
  if (!has_session(p, token)) return 0;
  if (insertion_dialog(p, token) != kDialogDone) return 0;
  int result;
  bool refused = false;
  do {
    PinChangeDialog dialog(p, token);
    result = show_dialog(p, kPinChangeDialog, dialog);
    refused = dialog.refused_current_pin();
  } while (result != kDialogDone && result != kDialogCancelled && result != kSessionGone);
  if (result != kDialogDone && refused) close_after_refused_pin(p, token);
  return result == kDialogDone ? 1 : 0;
}

int change_secret_without_dialog(Provider& p, uint32_t token, const char* current_pin, const char* new_pin) {
  if (!current_pin || !new_pin) return 0;
  bool has_record = locked(p, [&](Provider& provider) { return record_of(provider, token) != nullptr; });
  if (!has_record) return 0;
  if (insertion_dialog(p, token) != kDialogDone) return 0;
  ui::ScopedWaitCursor waiting;
  CK_RV rv = locked(p, [&](Provider& provider) {
    ContextRecord* record = record_of(provider, token);
    if (!record || record->session == 0) return CKR_SESSION_HANDLE_INVALID;
    auto text = [](const char* pin) { return reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(pin)); };
    return provider.p11().C_SetPIN(record->session, text(current_pin), std::strlen(current_pin), text(new_pin),
                                   std::strlen(new_pin));
  });
  if (rv != CKR_OK) ZYPTrace(kTraceFailure, "C_SetPIN failed: 0x%X", hex(rv));
  if (current_pin_refused(rv)) close_after_refused_pin(p, token);
  return rv == CKR_OK ? 1 : 0;
}

}  // namespace

std::string provider_text(const Provider& provider, uint32_t id) {
  const platform::LanguageModule* module = platform::language_module_of(provider.resources());
  const std::string* found = module ? module->string(id) : nullptr;
  return found ? *found : std::string();
}

std::mutex& dialog_lock() {
  static std::mutex lock;
  return lock;
}

int insertion_dialog(Provider& p, uint32_t token) {
  InsertionDialog dialog(p, token);
  return show_dialog(p, kInsertionDialog, dialog);
}

}  // namespace zyp::prov

using namespace zyp::prov;

ZYP_API int ZYPCIPOpenSession(uint32_t token) {
  return with_dialogs(0, [&](Provider& p) { return open_session(p, token); });
}

ZYP_API int ZYPCIPOpenSessionEx(uint32_t, uint32_t) { return 1; }

ZYP_API int ZYPCIPChangeSecret(uint32_t token) {
  return with_dialogs(0, [&](Provider& p) { return change_secret(p, token); });
}

ZYP_API int ZYPCIPChangeSecretEx(uint32_t token, const char* currentPin, const char* newPin) {
  return with_dialogs(0, [&](Provider& p) { return change_secret_without_dialog(p, token, currentPin, newPin); });
}

ZYP_API int ZYPCIPReInsertKeyHolder(uint32_t token) {
  return with_dialogs(kDialogCancelled, [&](Provider& p) { return insertion_dialog(p, token); });
}
