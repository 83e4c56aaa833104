#include "filecrypt/folder_walks.h"

#include <sys/stat.h>

#include <vector>

#include "filecrypt/folder_mark.h"
#include "filecrypt/mark_format.h"
#include "platform/files.h"
#include "platform/ui/ui.h"
#include "zyp/zyphook.h"
#include "zyp/zyptools.h"

namespace zyp::file {
namespace {

constexpr uint32_t kTraceInfo = 0x01;
constexpr char kCipherLabel[] = "ZYPFILE ZYPCipherFolderEx";
constexpr char kDecipherLabel[] = "ZYPFILE ZYPDecipherFolderEx";
constexpr char kScanLabel[] = "ZYPFILE ZYPScanFolder";

// A folder's entries in name order: regular files and real subfolders.
// Symbolic links (which could lead out of the tree or round in a loop) and
// special files (a pipe would block the reader) are not part of the tree.
struct FolderEntries {
  std::vector<std::string> files;
  std::vector<std::string> folders;
};

FolderEntries list_folder(const std::string& folder) {
  FolderEntries entries;
  for (const std::string& name : platform::entry_names(folder)) {
    std::string path = folder + "/" + name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (S_ISREG(st.st_mode)) entries.files.push_back(path);
    if (S_ISDIR(st.st_mode)) entries.folders.push_back(path);
  }
  return entries;
}

// SHChangeNotify with SHCNE_RMDIR, SHCNE_MKDIR and SHCNE_UPDATEDIR, so file
// views show the folder's new state.
void notify_folder_changed(const std::string& folder) {
  auto& host = platform::ui::host();
  host.notify_change("rmdir", folder);
  host.notify_change("mkdir", folder);
  host.notify_change("updatedir", folder);
}

bool give_read_only_attribute(const std::string& folder) {
  uint32_t attributes = platform::get_file_attributes(folder);
  return attributes != platform::kInvalidFileAttributes &&
         platform::set_file_attributes(folder, attributes | platform::kAttributeReadOnly);
}

int cipher_tree(const std::string& folder, FileHeader& header, uint32_t show_progress, uint32_t check,
                const FolderWalkCalls& calls) {
  ZYPTrace(kTraceInfo, "--> %s Path=%s", kCipherLabel, folder.c_str());
  // A folder whose mark cannot be written is left as it is: its files would
  // otherwise be encrypted in a folder that does not say so.
  int result = mark_folder(folder, header);
  if (result == ZYPFILE_OK) {
    FolderEntries entries = list_folder(folder);
    for (const std::string& file : entries.files) {
      // The mark stays readable: it is what says the folder is encrypted.
      if (!is_mark_file(file)) calls.cipher_file(file.c_str(), &header, show_progress, check);
    }
    for (const std::string& sub : entries.folders) cipher_tree(sub, header, show_progress, check, calls);
    if (!give_read_only_attribute(folder)) {
      result = ZYPFILE_NOT_FOUND;
    } else if (show_progress) {
      notify_folder_changed(folder);
    }
  }
  ZYPTrace(kTraceInfo, "<-- %s Path=%s rc:0x%X", kCipherLabel, folder.c_str(), static_cast<unsigned>(result));
  return result;
}

int decipher_tree(const std::string& folder, uint32_t show_progress, uint32_t check, const FolderWalkCalls& calls) {
  ZYPTrace(kTraceInfo, "--> ENTRY %s Path=%s", kDecipherLabel, folder.c_str());
  int result = unmark_folder(folder);
  FolderEntries entries = list_folder(folder);
  for (const std::string& file : entries.files) {
    FileHeader header{};
    if (calls.file_header(file.c_str(), &header) == ZYPFILE_OK) {
      calls.decipher_file(file.c_str(), &header, show_progress, check);
    }
  }
  for (const std::string& sub : entries.folders) {
    int sub_result = decipher_tree(sub, show_progress, check, calls);
    if (result == ZYPFILE_OK) result = sub_result;
  }
  if (show_progress) notify_folder_changed(folder);
  return result;
}

int scan_tree(const std::string& folder, uint32_t flag, const FolderWalkCalls& calls) {
  ZYPTrace(kTraceInfo, "--> %s Path=%s", kScanLabel, folder.c_str());
  int result = ZYPFILE_OK;
  FolderEntries entries = list_folder(folder);
  for (const std::string& file : entries.files) {
    ZYPTrace(kTraceInfo, "--> %s %s check", kScanLabel, file.c_str());
    FileHeader header{};
    if (calls.file_header(file.c_str(), &header) == ZYPFILE_OK) {
      ZYPTrace(kTraceInfo, "<-- %s %s is crypted", kScanLabel, file.c_str());
      result = calls.ask_valid_header(&header);
      if (result != ZYPFILE_OK) {
        ZYPTrace(kTraceInfo, "<-- %s Path=%s rc:0x%X", kScanLabel, file.c_str(), static_cast<unsigned>(result));
        return result;
      }
    }
    ZYPTrace(kTraceInfo, "<-- %s %s check", kScanLabel, file.c_str());
  }
  for (const std::string& sub : entries.folders) {
    result = scan_tree(sub, flag, calls);
    if (result != ZYPFILE_OK) {
      ZYPTrace(kTraceInfo, "<-- %s Path=%s rc:0x%X", kScanLabel, sub.c_str(), static_cast<unsigned>(result));
      return result;
    }
  }
  ZYPTrace(kTraceInfo, "<-- %s Path=%s rc:0x%X", kScanLabel, folder.c_str(), static_cast<unsigned>(result));
  return result;
}

// ZYPSetAPICaller (1) before and (0) after: the accesses in between are the
// library's own.
template <typename Walk>
int as_library_caller(Walk&& walk) {
  ZYPSetAPICaller(1);
  int result = walk();
  ZYPSetAPICaller(0);
  return result;
}

}  // namespace

int cipher_folder(const std::string& folder, FileHeader& header, uint32_t show_progress, uint32_t check,
                  const FolderWalkCalls& calls) {
  return as_library_caller([&] { return cipher_tree(folder, header, show_progress, check, calls); });
}

int decipher_folder(const std::string& folder, uint32_t show_progress, uint32_t check, const FolderWalkCalls& calls) {
  return as_library_caller([&] { return decipher_tree(folder, show_progress, check, calls); });
}

int scan_folder(const std::string& folder, uint32_t flag, const FolderWalkCalls& calls) {
  return as_library_caller([&] { return scan_tree(folder, flag, calls); });
}

}  // namespace zyp::file
