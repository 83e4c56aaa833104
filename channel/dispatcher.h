#pragma once
// The server's handling of one request block: read the code and payload,
// call the provider and write the result and the outputs back in place.
#include <cstdint>
#include <span>

#include "channel/provider_calls.h"

namespace zyp::channel {

struct ServerState {
  bool shutdown = false;         // set by request 21
  uint32_t last_heartbeat = 0;   // seconds since 1970, set by request 0
};

// Every length in the request is checked against the block before anything
// is read or written; a request whose items do not fit gets result 5 and no
// provider call. A block too short for the header is left untouched. Codes
// 35 and above keep the result the client wrote. Never throws.
void serve_request(std::span<uint8_t> block, const ProviderCalls& provider, ServerState& state) noexcept;

}  // namespace zyp::channel
