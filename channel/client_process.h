#pragma once
// The client library's state: the section every process that loads the
// library shares (load count and server marker), and this process's channel
// objects, heartbeat and started server.
#include <sys/types.h>

#include <cstdint>
#include <memory>

#include "channel/client_channel.h"

namespace zyp::channel {

inline constexpr char kClientSharedName[] = "ZYPCLIENT_SHARED";

struct ClientShared {
  int32_t load_count;
  int32_t server_marker;  // the started server's process id; 0: no server started
};

// Process attach and detach of the library; both idempotent.
void attach_client();
void detach_client();

// The channel for a forwarded call: null (the call answers 16) when no
// server is marked as started or the channel objects cannot be opened.
std::shared_ptr<ChannelObjects> channel_for_call();

int start_server();     // ZYPCIPStartPKCS
void shutdown_server();  // ZYPCIPShutdownPKCS

}  // namespace zyp::channel
