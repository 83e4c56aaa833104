#pragma once
// The file library's calls that the request server makes, resolved at run
// time: libzypfile.so uses this library, so this one does not link against it.
#include <cstdint>
#include <string>

#include "zyp/zypfile.h"

namespace zyp::hook {

class FileLibrary {
 public:
  FileLibrary();   // loads libzypfile.so through the module lookup
  ~FileLibrary();  // and unloads it
  FileLibrary(const FileLibrary&) = delete;
  FileLibrary& operator=(const FileLibrary&) = delete;

  // Each answers the call's result, or ZYPHOOK_CALL_MISSING when the library
  // or the call is not there.
  int secure_erase(const std::string& path);
  int decipher_file(const std::string& path, FileHeader& header);
  int sync_decipher_file(const std::string& path, FileHeader& header);
  int cipher_file(const std::string& path, FileHeader& header);
  int cipher_folder(const std::string& path, FileHeader& header);
  int ask_valid_header(const FileHeader& header);
  int scan_folder(const std::string& path);

 private:
  int file_call(const char* name, const std::string& path, FileHeader& header, uint32_t check);
  void* symbol(const char* name);
  void* module_ = nullptr;
};

// "SecureEraseCycle": the file library's value when it is loaded in this
// process, else the profile's (user over machine, default 3).
uint32_t secure_erase_passes();

}  // namespace zyp::hook
