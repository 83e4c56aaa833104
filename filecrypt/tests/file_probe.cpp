// A second process that loads libzypfile.so, for the cross-process tests.
//   file_probe set compression|progress|erase VALUE   exit 0
//   file_probe get compression|progress|erase         exit with the value
//   file_probe sealpost FOLDER   exit 3 when FOLDER/left exists at start,
//                                else leaves FOLDER/made-here (making the
//                                folder again) and exits 0
//   file_probe encrypt PATH KEY [DEST] | decrypt PATH [DEST]
//                                in place (or into DEST) with the logged-in
//                                server's token (DES 40 bits), exit with the
//                                result
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zyp/softtok.h"
#include "zyp/zypclient.h"
#include "zyp/zypfile.h"

namespace {

int set(const std::string& name, uint32_t value) {
  if (name == "compression") return ZYPSetCompressionMode(value);
  if (name == "progress") return ZYPSetProgressState(value);
  if (name == "erase") return ZYPSetSecureEraseCycle(value);
  return 2;
}

int get(const std::string& name) {
  if (name == "compression") return static_cast<int>(ZYPGetCompressionMode());
  if (name == "progress") return static_cast<int>(ZYPGetProgressState());
  if (name == "erase") return static_cast<int>(ZYPGetSecureEraseCycle());
  return 200;
}

bool exists(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file) std::fclose(file);
  return file != nullptr;
}

int sealpost(const std::string& folder) {
  if (exists(folder + "/left")) return 3;
  ::mkdir(folder.c_str(), 0700);
  std::FILE* file = std::fopen((folder + "/made-here").c_str(), "wb");
  if (!file) return 4;
  std::fputs("left behind by a process", file);
  std::fclose(file);
  return 0;
}

int convert(bool encrypting, const char* path, uint32_t key, const char* destination) {
  if (ZYPCIPStartPKCS() != 1) return 201;
  FileHeader header{};
  ZYPFillHeader(&header, CKM_DES_40_CBC, key, 0, "probe");
  return encrypting ? ZYPCipherFileToEx(path, destination, &header, 0, 1)
                    : ZYPDecipherFileToEx(path, destination, &header, 0, 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "set") == 0) return set(argv[2], static_cast<uint32_t>(std::atoi(argv[3])));
  if (argc == 3 && std::strcmp(argv[1], "get") == 0) return get(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "sealpost") == 0) return sealpost(argv[2]);
  if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "encrypt") == 0)
    return convert(true, argv[2], static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 0)), argv[argc == 5 ? 4 : 2]);
  if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "decrypt") == 0)
    return convert(false, argv[2], 0, argv[argc == 4 ? 3 : 2]);
  return 2;
}
