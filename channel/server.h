#pragma once
// The serving loop of zypserver: one instance per machine, one request at a
// time, ended by request 21 or by a minute without any request.
#include <cstdint>

#include "channel/provider_calls.h"

namespace zyp::channel {

inline constexpr uint32_t kIdleLimitMs = 60000;

// Exit codes of the server.
inline constexpr int kServerEnded = 0;  // request 21, or another server runs already
inline constexpr int kServerFailed = -1;  // idle minute, missing channel object, mapping failure

// The idle limit: 60 s, or $ZYP_TEST_SERVER_IDLE_MS (tests only) when it
// holds a positive number of milliseconds.
uint32_t idle_limit_ms();

// Runs the server on the calling thread until it ends; returns its exit code.
int run_server(const ProviderCalls& provider, uint32_t idle_ms);

}  // namespace zyp::channel
