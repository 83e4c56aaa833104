#pragma once
// Small files and folders for the hook tests: encrypted files of both
// layouts, plain files, marked folders, and a helper that waits for a
// condition with a time limit.
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "filecrypt/header_format.h"
#include "platform/atomic_file.h"
#include "zyp/zypfile.h"

namespace zyp::testing {

inline FileHeader header_with(uint32_t algo, uint32_t key, uint32_t options, const char* user) {
  FileHeader header{};
  file::fill_header(header, algo, key, options, user);
  return header;
}

inline std::string bytes_of(const void* data, size_t size) {
  return std::string(static_cast<const char*>(data), size);
}

// A header, the plain length and a 16-byte body.
inline std::string encrypted_contents(const FileHeader& header) {
  return bytes_of(&header, sizeof header) + std::string("\x06\0\0\0", 4) + std::string(16, '\x5A');
}

// The earlier layout: 96 header bytes with Version 0x00010000, the plain
// length at 96, the body from 100.
inline std::string earlier_layout_contents(const FileHeader& header) {
  FileHeader earlier = header;
  earlier.Version = ZYPFILE_VERSION_EARLIER;
  return bytes_of(&earlier, ZYPFILE_EARLIER_HEADER_SIZE) + std::string("\x06\0\0\0", 4) + std::string(16, '\x5A');
}

inline std::string mark_text(uint32_t algo, uint32_t key, uint32_t options, const char* user) {
  return "[.ShellClassInfo]\r\nCLSID={E2914B3C-7D05-11D1-B8E1-61C2F03A9D47}\r\nConfirmFileOp=0\r\n[Ambrel]\r\nAlgo=" +
         std::to_string(algo) + "\r\nKey=" + std::to_string(key) + "\r\nOptions=" + std::to_string(options) +
         "\r\nUser=" + user + "\r\n";
}

inline bool write(const std::string& path, const std::string& contents) {
  return platform::write_file_atomically(path, contents);
}

// Polls `done` every 10 ms until it holds or `limit` passes.
template <typename Condition>
bool eventually(Condition done, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace zyp::testing
