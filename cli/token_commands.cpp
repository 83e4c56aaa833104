// zyp token status|login|logout|passwd: the logged-in state of the tokens.
// Logging in and changing the PIN happen in the server, whose dialogs ask
// the user (see server_control.h for which user interface they use).
#include <cstdio>

#include "cli/commands.h"
#include "cli/provider_lists.h"
#include "cli/results.h"
#include "cli/server_control.h"
#include "zyp/zypclient.h"
#include "zyp/zypsess.h"

namespace zyp::cli {
namespace {

constexpr int kSessionOpen = 0;
constexpr int kNoSession = 1;

std::string session_text(int state) {
  if (state == kSessionOpen) return "open";
  if (state == kNoSession) return "none";
  return "unusable (" + std::to_string(state) + ")";
}

void print_token_row(uint32_t token, const std::string& name) {
  bool primary = token == static_cast<uint32_t>(ZYPGetPrimaryToken());
  std::printf("%u\t%s\t%s\t%s\n", token, primary ? "yes" : "no",
              session_text(ZYPGetSessionState(static_cast<int>(token))).c_str(), name.c_str());
}

bool logged_in(uint32_t token) { return ZYPGetSessionState(static_cast<int>(token)) == kSessionOpen; }

std::string token_text(uint32_t token) { return "token " + std::to_string(token); }

// Prepares a command that needs the server's dialogs on `token`.
void reach_token(uint32_t token, std::string_view what) {
  ensure_server(what);
  require_token(token, what);
}

}  // namespace

int run_token_status(const Invocation& invocation) {
  bool only_one = invocation.has("--token");
  uint32_t chosen = chosen_token(invocation);
  if (!server_reachable()) {
    // Without a server there is no session and no token name to show.
    std::printf("token\tprimary\tsession\tname\n");
    print_token_row(chosen, "(server not running)");
    return kExitOk;
  }
  std::string what = "show the tokens";
  std::vector<ZYPCIPListEntry> tokens = list_tokens(what);
  if (only_one) require_token(chosen, what);
  std::printf("token\tprimary\tsession\tname\n");
  for (const ZYPCIPListEntry& token : tokens)
    if (!only_one || token.value == chosen) print_token_row(token.value, printable_name(token));
  return kExitOk;
}

int run_token_login(const Invocation& invocation) {
  uint32_t token = chosen_token(invocation);
  std::string what = "log in to " + token_text(token);
  reach_token(token, what);
  int opened = ZYPCIPOpenSession(token);
  if (opened == ZYPCIP_UNREACHABLE) fail_with_code(what, opened, token);
  if (opened == 1) {
    std::printf("%s: logged in\n", token_text(token).c_str());
  } else if (logged_in(token)) {
    std::printf("%s: logged in already\n", token_text(token).c_str());
  } else {
    fail(what, "the PIN dialog was cancelled or the login failed (the server asks through the user interface "
               "it was started with, ZYP_UI)");
  }
  return kExitOk;
}

int run_token_logout(const Invocation& invocation) {
  uint32_t token = chosen_token(invocation);
  std::string what = "log out of " + token_text(token);
  if (!server_reachable()) {
    std::printf("%s: not logged in (no server runs)\n", token_text(token).c_str());
    return kExitOk;
  }
  // The provider's close takes the token's key handles; a token without a
  // session has nothing to close, so the provider is not asked.
  if (!logged_in(token)) {
    std::printf("%s: not logged in (no session to close)\n", token_text(token).c_str());
    return kExitOk;
  }
  int result = ZYPCIPCloseSession(token);
  if (result == 1) fail(what, "a cryptographic operation is in progress (code 1); try again when it has finished");
  check_result(result, what, token);
  std::printf("%s: logged out\n", token_text(token).c_str());
  return kExitOk;
}

int run_token_passwd(const Invocation& invocation) {
  uint32_t token = chosen_token(invocation);
  std::string what = "change the PIN of " + token_text(token);
  reach_token(token, what);
  if (!logged_in(token))
    fail(what, "no logged-in session on " + token_text(token) + "; run `" + login_command(token) + "` first");
  int changed = ZYPCIPChangeSecret(token);
  if (changed == ZYPCIP_UNREACHABLE) fail_with_code(what, changed, token);
  if (changed != 1 && !logged_in(token))
    fail(what, "the PIN was not changed and the token's session is closed (a wrong current PIN closes it for "
               "safety); run `" + login_command(token) + "` to log in again");
  if (changed != 1) fail(what, "the PIN change dialog was cancelled or the change failed");
  std::printf("%s: PIN changed\n", token_text(token).c_str());
  return kExitOk;
}

}  // namespace zyp::cli
