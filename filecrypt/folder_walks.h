#pragma once
// Walks over folder trees: marking and encrypting, unmarking and decrypting,
// and checking that every encrypted file can be decrypted now. The per-file
// calls come in a table, so that the library passes its exported calls and
// tests can watch the walk with doubles.
#include <cstdint>
#include <string>

#include "zyp/zypfile.h"

namespace zyp::file {

struct FolderWalkCalls {
  // ZYPCipherFileEx and ZYPDecipherFileEx.
  int (*cipher_file)(const char* file, FileHeader* header, uint32_t showProgress, uint32_t check);
  int (*decipher_file)(const char* file, FileHeader* header, uint32_t showProgress, uint32_t check);
  // ZYPGetFileAttributes and ZYPAskValidHeader.
  int (*file_header)(const char* file, FileHeader* header);
  int (*ask_valid_header)(const FileHeader* header);
};

// Each returns the exported call's documented result (zyp/zypfile.h).
int cipher_folder(const std::string& folder, FileHeader& header, uint32_t show_progress, uint32_t check,
                  const FolderWalkCalls& calls);
int decipher_folder(const std::string& folder, uint32_t show_progress, uint32_t check, const FolderWalkCalls& calls);
int scan_folder(const std::string& folder, uint32_t flag, const FolderWalkCalls& calls);

}  // namespace zyp::file
