#pragma once
// Every test program runs in a fresh, private set of the suite's folders, so
// tests never touch the developer's own configuration and may run in parallel.
#include <string>

namespace zyp::testing {

// Called first by the test main: when the program does not run in a private
// root yet, makes one (runtime, user, machine and temporary folders, and the
// variables pointing at them), runs the program again inside it, removes it
// and returns the run's exit status. Running the program again, rather than
// setting the variables in place, means that the libraries' load-time code
// already sees the private folders. Returns -1 inside the private root.
int run_in_private_root(char** argv);

// The private root of this test program.
const std::string& test_root();

// A new empty folder below the test root.
std::string make_temp_folder(const std::string& stem);

// Runs `body` in a forked child and returns its exit status (or 128 + signal).
int run_in_child(int (*body)(void*), void* arg);

}  // namespace zyp::testing
