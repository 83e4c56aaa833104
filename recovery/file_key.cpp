#include "recovery/file_key.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "zyp/zypclient.h"
#include "zyp/zypfile.h"
#include "zyp/zypprof.h"

namespace zyp::recovery {

int read_first_field(const std::string& file, FileField& field) {
  uint32_t length = kFieldSize;
  return ZYPGetRecoveryKey(file.c_str(), 0, &field.algorithm, field.field.data(), &length);
}

std::string recovered_key_label(std::string_view prefix, const std::string& file) {
  std::string name = file.substr(file.rfind('/') + 1);  // base name and extension
  return std::string(prefix) + " : " + name;
}

bool unwrap_file_key(uint32_t token, const FileField& field, const std::string& label, const RecordBytes& record) {
  ZYPRecoveryKeyRecord key{};
  std::memcpy(&key, record.data(), sizeof key);
  // The label goes with its terminator, as the key-recovery program always gave it.
  int recovered = ZYPCIPGenerateSessionKeyFromKeyRecoveryField(token, field.algorithm, field.field.data(), kFieldSize,
                                                               label.c_str(),
                                                               static_cast<uint32_t>(label.size() + 1), key);
  wipe(&key, sizeof key);
  return recovered == 1;
}

uint32_t configured_rescue_token() {
  char module[260] = {};
  ZYPGetProfileString("General", "SOFTTOK", "SOFTTOKP.DLL", module, sizeof module);
  std::string name(module);
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::toupper(c); });
  uint32_t token = 0;
  if (name.find("SOFTTOKP.DLL") != std::string::npos) token = 0;
  if (name.find("SOFTTOKF.DLL") != std::string::npos) token = 1;
  if (name.find("SOFTTOKS.DLL") != std::string::npos) token = 2;
  return token;
}

}  // namespace zyp::recovery
