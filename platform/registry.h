#pragma once
// The registry stand-in: hives kept as text files in the registry export
// layout, read and written with the INI module (CR LF, no header line):
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Quillmarsh\General]   one section per key
//   "Name"="text"                                      string (REG_SZ)
//   @="text"                                           the unnamed value
//   "Count"=dword:0000002A                             32-bit word
//   "Blob"=hex:00,AB,FF                                binary
//   "Path"=hex(2):25,00,...                            any other type: hex(type)
// A string is written as text when it fits between quotes on one line (one
// terminating NUL, no CR, LF or inner NUL); otherwise as hex(1) bytes, as is
// a word value that is not 4 bytes long as hex(4), so every value reads back
// exactly. A key without values is an empty section; a key also exists when
// only keys below it have sections. Key names keep their first spelling.
// Files: HKEY_LOCAL_MACHINE in machine_dir()/HKLM.reg, HKEY_CLASSES_ROOT in
// machine_dir()/HKCR.reg, HKEY_CURRENT_USER in user_dir()/HKCU.reg, and each
// key directly under HKEY_USERS in machine_dir()/users/<name>.reg (name in
// lower case, other characters than letters, digits, '-', '_' and '.' as
// %XX); that hive is removed when the user's key is deleted. Each call locks
// the hive (flock on <hive>.lock: shared to read, exclusive to change), reads
// it whole, and a change is written back atomically before the call returns,
// so another process sees it at its next call. Key paths use `\` between
// components (empty components are ignored) and are matched without regard
// to case; an empty path is the root itself. Value names are matched
// exactly (they are often paths here, where case matters) and written
// between quotes with '"' and '\' escaped by a backslash, so any name
// without CR, LF or NUL can be stored. Results are Windows error
// numbers: 0 success, 2 not found, 5 refused (a key with subkeys, deleting a
// root, a value on HKEY_USERS itself), 6 unknown root, 8 out of memory, 87 a
// name that cannot be stored (CR, LF or NUL in it, blanks at the ends of a
// key name), 259 no more items, or the error of the file system.
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
// HKEY_CURRENT_CONFIG (0x80000005) and HKEY_DYN_DATA (0x80000006) have names
// for export files but no hive: the calls below refuse them with 6.
const char* root_name(Root root);

// The hive file that holds the key (empty for HKEY_USERS itself or an unknown root).
std::string hive_file(Root root, std::string_view path);

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
