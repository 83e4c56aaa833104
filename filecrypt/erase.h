#pragma once
// Secure erase: every byte of a file is overwritten a number of times before
// the file is deleted. Pass i writes entry i mod 5 of the table 00, AA, 55
// and two bytes drawn afresh for every pass (0 to 254); each pass is forced
// to the disk before the next. A symbolic link is removed itself; what it
// names is left alone.
#include <cstdint>
#include <string>

struct ZYPWindow;

namespace zyp::file {

// Results of the erase calls.
enum EraseResult : int {
  kErased = 0,
  kDeclined = 1,      // the user kept a read-only file
  kMissing = 2,
  kCannotOpen = 12,   // the file cannot be opened for writing
  kWriteFailed = 14,  // the file is still deleted when possible
  kNoSize = 17,
  kCannotDelete = 19, // the file cannot be deleted, or the folder removed
};

// Where an erase shows itself: a progress window (or none) and the
// percentage that one file's progress runs up to.
struct EraseDisplay {
  ZYPWindow* window = nullptr;
  float max_percent = 0;
};

// The byte that pass `pass` writes (a random one is drawn for the pass).
uint8_t pass_byte(uint32_t pass);

// With a window, a read-only file is erased only when the user agrees
// (kDeclined otherwise, and the file stays); without one it is erased.
int erase_file(const std::string& path, uint32_t passes, const EraseDisplay& display);

// A file as above, or a folder tree in name order: the first failed item
// stops the walk and the folder is kept; otherwise the folder is removed.
int erase_path(const std::string& path, uint32_t passes, const EraseDisplay& display);

}  // namespace zyp::file
