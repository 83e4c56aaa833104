#pragma once
// Turning the results of the provider's calls into error lines that say what
// failed, what the code means and, where there is one, what to do.
#include <cstdint>
#include <string>
#include <string_view>

namespace zyp::cli {

// The meaning of a ZYPCIP result code, as a phrase ("unknown key identifier").
std::string_view result_meaning(int code);

// The command that logs in to `token` ("zyp token login", with --token N for
// a token other than the primary one).
std::string login_command(uint32_t token);

// Throws Failed("cannot WHAT: REASON").
[[noreturn]] void fail(std::string_view what, std::string_view reason);

// Throws Failed("cannot WHAT: MEANING (code N)[; HINT]"). Code 8 reads as
// "no logged-in session" when the session service says the token has none.
[[noreturn]] void fail_with_code(std::string_view what, int code, uint32_t token);

inline void check_result(int code, std::string_view what, uint32_t token) {
  if (code != 0) fail_with_code(what, code, token);
}

}  // namespace zyp::cli
