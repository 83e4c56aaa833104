#pragma once
// Facts about the user and the session, and the calling thread's priority.
#include <string>
#include <string_view>

namespace zyp::platform {

// GetUserName: the login name of the effective user, else $USER or $LOGNAME,
// else the user id as a number.
std::string current_user_name();

// The user's three-letter language code ("ENU", "FRA", ...): $ZYP_LANG when
// it holds three letters, else the first set of LC_ALL, LC_MESSAGES and LANG.
std::string language_code();

// The code for one locale name such as "fr_FR.UTF-8"; "ENU" for "C",
// "POSIX" and languages without a code of their own.
std::string language_code_for_locale(std::string_view locale);

// SetThreadPriority (highest / normal) for the calling thread. Raising the
// priority needs privileges that a user may lack; failures are ignored.
void set_thread_priority_highest();
void set_thread_priority_normal();
// THREAD_PRIORITY_BELOW_NORMAL for a worker thread: its nice value one step
// above the thread's current one.
void set_thread_priority_below_normal();

}  // namespace zyp::platform
