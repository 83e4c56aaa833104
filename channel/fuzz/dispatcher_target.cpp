// libFuzzer program for the server's dispatcher: every input is one request
// block, served against a stand-in provider that touches exactly the memory
// each call may touch. The block is a heap copy of the input's exact size, so
// the sanitizers catch any read or write beyond it (scripts/fuzz.sh).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "channel/dispatcher.h"
#include "channel/tests/fake_provider.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Named-mapping requests look their mapping up in the runtime folder.
  if (!std::getenv("ZYP_RUNTIME_DIR")) {
    std::fprintf(stderr, "ZYP_RUNTIME_DIR must point at a throwaway folder\n");
    std::exit(2);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> block(data, data + size);
  zyp::channel::ServerState state;
  fake_provider::calls().clear();
  zyp::channel::serve_request(block, fake_provider::table(), state);
  return 0;
}
