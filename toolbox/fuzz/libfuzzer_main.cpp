// The libFuzzer entry of each fuzz program (scripts/fuzz.sh builds them).
// FUZZ_TARGET_FUNCTION names the entry point of fuzz_targets.h to call.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "toolbox/fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The registry import writes into the hives of these folders: never the user's own.
  for (const char* variable : {"ZYP_USER_DIR", "ZYP_MACHINE_DIR", "ZYP_RUNTIME_DIR", "TMPDIR"}) {
    if (!std::getenv(variable)) {
      std::fprintf(stderr, "%s must point at a throwaway folder\n", variable);
      std::exit(2);
    }
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string fault = zyp::fuzz::FUZZ_TARGET_FUNCTION(data, size);
  if (!fault.empty()) {
    std::fprintf(stderr, "fault: %s\n", fault.c_str());
    std::abort();
  }
  return 0;
}
