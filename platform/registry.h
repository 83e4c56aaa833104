#pragma once
// The registry stand-in: hives kept as text files in the registry export
// layout ([ROOT\path] sections, "name"="text", dword:, hex: lines, CR LF).
// HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT live in the machine folder,
// HKEY_CURRENT_USER in the user folder, HKEY_USERS as one hive per user in the
// machine folder. Each call reads the hive whole under a lock, and a change is
// written back atomically before the call returns, so another process sees it
// at its next read. Key paths use `\` between components and are matched
// without regard to case; an empty path is the root itself. Results are
// Windows error numbers (0 success, 2 not found, 259 no more items, ...).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zyp::platform::reg {

enum class Root : uint32_t {
  ClassesRoot = 0x80000000u,
  CurrentUser = 0x80000001u,
  LocalMachine = 0x80000002u,
  Users = 0x80000003u,
};

enum ValueType : uint32_t {
  kNone = 0,
  kString = 1,        // REG_SZ: text and its NUL
  kExpandString = 2,  // REG_EXPAND_SZ
  kBinary = 3,        // REG_BINARY
  kDWord = 4,         // REG_DWORD, 4 bytes little-endian
  kMultiString = 7,   // REG_MULTI_SZ
};

struct Value {
  std::string name;  // "" is the key's unnamed (default) value
  uint32_t type = kNone;
  std::vector<uint8_t> data;  // exactly the bytes Windows would hold (strings with their NUL)
};

// The root's export name ("HKEY_LOCAL_MACHINE"), or "" for an unknown handle.
const char* root_name(Root root);

// Creates the key and every missing key along the path.
uint32_t create_key(Root root, std::string_view path);
// 0 when the key exists, else 2.
uint32_t open_key(Root root, std::string_view path);

uint32_t query_value(Root root, std::string_view path, std::string_view name, Value& out);
// Creates the key along the path when missing.
uint32_t set_value(Root root, std::string_view path, std::string_view name, uint32_t type,
                   const void* data, size_t size);
uint32_t set_string(Root root, std::string_view path, std::string_view name, std::string_view text);
uint32_t set_dword(Root root, std::string_view path, std::string_view name, uint32_t word);
uint32_t delete_value(Root root, std::string_view path, std::string_view name);

// The value or subkey at `index` in the key's stored order; 259 past the end.
uint32_t enum_value(Root root, std::string_view path, uint32_t index, Value& out);
uint32_t enum_key(Root root, std::string_view path, uint32_t index, std::string& name);

// Deletes a key that has no subkeys (5 when it has some, 2 when missing).
uint32_t delete_key(Root root, std::string_view path);
// Deletes the key and its whole subtree.
uint32_t delete_tree(Root root, std::string_view path);

// Every change is on the disk when its call returns; kept for callers that flush.
uint32_t flush(Root root);

}  // namespace zyp::platform::reg
