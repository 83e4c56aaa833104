#pragma once
// Every test program runs in a fresh, private set of the suite's folders
// (made by the launcher zyp_test_env), so tests never touch the developer's
// own configuration and may run in parallel.
#include <string>

namespace zyp::testing {

// The private root of this test program.
const std::string& test_root();

// A new empty folder below the test root.
std::string make_temp_folder(const std::string& stem);

// The build tree this test program belongs to (the folder holding bin/, lib/
// and tests/).
std::string build_folder();

// Runs `body` in a forked child and returns its exit status (or 128 + signal).
int run_in_child(int (*body)(void*), void* arg);

}  // namespace zyp::testing
