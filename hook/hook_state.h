#pragma once
// The hook client's state: the block every process that loads the library
// shares, and this process's device handle.
#include <cstddef>
#include <cstdint>

namespace zyp::hook {

constexpr char kSharedName[] = "ZYPHOOK_SHARED";

// Each item is one aligned 32-bit word, read and written with atomic accesses.
struct SharedHookState {
  int32_t load_count;
  uint32_t auto_decrypt;
  uint32_t auto_secure_erase;
  uint32_t auto_check_sign;
  uint32_t activity;  // the code of the request being served, 0 when idle
};

// Null when the block could not be attached; the settings are then read from
// the profile on every use.
SharedHookState* shared_state();

// Whether this process can reach the device: it is open, this process has not
// closed it, and the machine setting lets it exist.
bool device_available();
// DeviceIoControl on this process's device; false without the device.
bool device_control(uint32_t code, const void* input, size_t input_size, void* output, size_t output_size);
// Closes this process's device for good (after its request server stopped).
void close_device();

bool attach_process();
void detach_process();

// Caches "AutoDecrypt", "AutoSecureErase" and "AutoCheckSign" and sends
// "AutoDecrypt" to the device: what the first process to load the library does.
void load_settings();

// Stops the request server when this process runs one (at unload).
void stop_request_server_of_process();

}  // namespace zyp::hook
