#pragma once
// Opening a self-extracting archive file and writing its files into a folder:
// the work of the extractor stub zypsfx16 and of `zyp sfx extract`.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sfx/archive_reader.h"

namespace zyp::sfx {

class ArchiveFile {
 public:
  // Maps `path` privately (the decryption never reaches the file) and reads
  // its clear part. Null with a message in `error`.
  static std::unique_ptr<ArchiveFile> open(const std::string& path, std::string& error);
  ~ArchiveFile();
  ArchiveFile(const ArchiveFile&) = delete;
  ArchiveFile& operator=(const ArchiveFile&) = delete;

  const ClearPart& clear_part() const { return clear_; }

  // Derives the key from the password, decrypts the region and checks it.
  // Only one try per opened file. False with a message: a wrong password,
  // or a damaged archive.
  bool unlock(std::string_view password, std::string& error);
  // The entries, once unlocked.
  const std::vector<EntryView>& entries() const { return entries_; }

  // Writes every entry into `folder` (which must exist). Nothing is written
  // when a file of the same name exists there, unless `overwrite`; each file
  // appears whole or not at all, under its own name only (never through a
  // link found in the folder). `written` hears each file's name after it is
  // in place.
  bool extract(const std::string& folder, bool overwrite, std::string& error,
               const std::function<void(const EntryView&)>& written = {}) const;

 private:
  ArchiveFile() = default;

  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  ClearPart clear_;
  bool unlocked_ = false;
  bool tried_ = false;
  std::vector<EntryView> entries_;
};

}  // namespace zyp::sfx
