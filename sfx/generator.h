#pragma once
// The generator of self-extracting archives behind libzypsfx's exports: the
// context, the password dialog and the writing of the archive. What it asks
// of the rest of the suite (provider lists, recovery field, file library,
// session, message boxes) goes through Services, so that tests can stand in
// for any of it.
#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/lang_module.h"
#include "zyp/zypfile.h"
#include "zyp/zypprov.h"
#include "zyp/zyptools.h"

namespace zyp::sfx {

// Texts of the "ZYPSFX" language module.
enum Text : uint32_t {
  kPasswordsDiffer = 1,
  kCannotCopyStub = 2,    // %s stub, %s output
  kCannotOpenFile = 3,    // %s path
  kCannotWrite = 4,
  kCannotDecipher = 5,    // %s path
  kCannotSize = 6,        // %s path
  kCannotMap = 7,
  kNoMemoryForKey = 8,
  kCannotEncrypt = 9,
  kSaveFilter = 10,
  kSaveTitle = 12,
  kCaption = 13,
  kCannotRead = 14,       // %s path
  kNoRecoveryField = 16,
  kStubFails = 17,        // %s stub
  kFileTooLarge = 18,     // %s path
  kCannotEncipherAgain = 19,  // %s path
  kNameNotStorable = 20,      // %s path
  kNameTwice = 21,            // %s name
};

inline constexpr uint32_t kPasswordDialog = 129;
inline constexpr size_t kPasswordBufferSize = 256;

struct GeneratorContext {
  GeneratorContext() = default;
  GeneratorContext(const GeneratorContext&) = delete;
  GeneratorContext& operator=(const GeneratorContext&) = delete;
  ~GeneratorContext();

  void clear_password();

  std::array<char, kPasswordBufferSize> password{};
  std::string output;
  uint32_t key_bits = 0;
  uint32_t token = 0;
  uint32_t algo = 0;
  std::vector<std::string> paths;
};

struct Services {
  std::function<int(ZYPCIPListEntry* list, uint32_t* count)> enum_tokens;
  std::function<int(uint32_t token, ZYPCIPListEntry* list, uint32_t* count)> enum_algorithms;
  // Fills the 128-byte field for the key value; 0 on success.
  std::function<int(uint32_t token, uint32_t algo, std::span<const uint8_t> key, std::span<uint8_t> field)>
      recovery_field;
  std::function<int(const char* path, FileHeader* header)> file_attributes;
  std::function<int(const char* path, FileHeader* header)> decipher_file;
  std::function<int(const char* path, FileHeader* header)> encipher_file;
  std::function<int()> open_session;
  // A message box with string `text` of the module (with up to two texts for
  // its format) under caption 13; the button that closed it.
  std::function<int(uint32_t text, uint32_t style, const char* first, const char* second)> message;
  // String `text` of the module.
  std::function<std::string(uint32_t text)> text;
  const ZYPResourceModule* resources = nullptr;
  std::string address;  // "Visual" "Address"
  std::string notice;   // "General" "Copyright"
};

// Runs the password dialog from its template; the dialog's result (1 OK, and
// then the context holds password, token, algo and key bits).
int run_password_dialog(GeneratorContext& context, const Services& services,
                        const platform::DialogTemplate& dialog);

// Writes the archive of the context's files behind a copy of `stub`.
void write_archive(GeneratorContext& context, const Services& services, const std::string& stub);

// The suite's own services, with message boxes and texts from `resources`
// (the "ZYPSFX" module).
Services suite_services(const ZYPResourceModule* resources);
// String `id` of the module formatted with up to two texts.
std::string module_text(const ZYPResourceModule* resources, uint32_t id, const char* first = "",
                        const char* second = "");
// The extractor: zypsfx16 in the installation folder ("General"
// "InstallPath"), else the suite's own program.
std::string stub_path();
// "stub -v" ends with status 0.
bool stub_runs(const std::string& stub);

}  // namespace zyp::sfx
