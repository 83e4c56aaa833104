#pragma once
// Helpers of the provider's tests: attaching the provider to a module named
// in the private profile, logging in, and looking at the key map.
#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "provider/frame.h"
#include "provider/login.h"
#include "provider/sessions.h"
#include "zyp/zypprof.h"
#include "zyp/zypprov.h"

namespace zyp::prov::testing {

// Names the module in the machine profile, then attaches as a library load
// would.
inline bool attach_with_module(const std::string& module) {
  ZYPWriteProfileString("General", "SOFTTOK", module.c_str());
  return attach_process();
}

inline CK_RV login(uint32_t token, std::string_view pin) {
  return login_with_pin(token, {reinterpret_cast<const uint8_t*>(pin.data()), pin.size()});
}

// The identifier written in the test from its definition: the sum of
// b^11 + 1 over the signed digest bytes, modulo 2^32.
inline uint32_t expected_key_id(const std::vector<uint8_t>& digest) {
  uint64_t sum = 0;
  for (uint8_t byte : digest) {
    int64_t b = static_cast<int8_t>(byte);
    int64_t power = 1;
    for (int i = 0; i < 11; ++i) power = (power * b) % (int64_t{1} << 32);
    sum += static_cast<uint64_t>(power + 1 + (int64_t{1} << 32));
  }
  return static_cast<uint32_t>(sum);
}

inline std::vector<KeyMapEntry> used_key_map_entries() {
  std::vector<KeyMapEntry> used;
  Provider* p = provider();
  std::lock_guard guard(p->lock());
  for (KeyMapEntry& entry : p->key_map_entries()) {
    if (entry.key_id != 0 || entry.handle != 0) used.push_back(entry);
  }
  return used;
}

// Lists through a ZYPCIP list call in its two steps (count, then entries).
template <typename Call>
std::vector<ZYPCIPListEntry> list_of(Call&& call) {
  uint32_t count = 0;
  int first = call(nullptr, &count);
  EXPECT_TRUE(first == 0 || first == 1) << first;
  std::vector<ZYPCIPListEntry> entries(count);
  EXPECT_EQ(call(entries.data(), &count), 0);
  entries.resize(count);
  return entries;
}

// The session handle of a token's logged-in record (0 when none).
inline CK_SESSION_HANDLE session_of(uint32_t token) {
  Provider* p = provider();
  std::lock_guard guard(p->lock());
  ContextRecord* record = record_of(*p, token);
  return record && record->logged_in ? record->session : 0;
}

}  // namespace zyp::prov::testing
