#pragma once
// Bringing an encrypted file's key back from its first recovery field and
// the rebuilt recovery private key: the key is unwrapped into the user's
// session on the token, under the identifier the file's header names, so
// that the file can then be decrypted with the ordinary tools.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "recovery/shares.h"

namespace zyp::recovery {

inline constexpr size_t kFieldSize = 128;

struct FileField {
  uint32_t algorithm = 0;
  std::array<uint8_t, kFieldSize> field{};
};

// The file's first recovery field and algorithm: the file library's result
// (0; 100 when the file has none; its header reader's failure otherwise).
int read_first_field(const std::string& file, FileField& field);

// "<prefix> : <name>.<extension>": the label of the recovered key.
std::string recovered_key_label(std::string_view prefix, const std::string& file);

// Unwraps the field with the record into the token's session. True when the
// provider recovered and registered the key.
bool unwrap_file_key(uint32_t token, const FileField& field, const std::string& label, const RecordBytes& record);

// The token the rescue programs work on: the machine's "General"/"SOFTTOK"
// (default "SOFTTOKP.DLL") in upper case: 0 for "SOFTTOKP.DLL", 1 for
// "SOFTTOKF.DLL", 2 for "SOFTTOKS.DLL" (a later test wins), else 0.
uint32_t configured_rescue_token();

}  // namespace zyp::recovery
