#pragma once
// Overwriting and deleting files and folder trees, without windows or
// questions: each pass writes one byte value over every byte of a file and
// forces it to the disk before the next pass. Pass i writes entry i mod 5 of
// 00, AA, 55 and two bytes drawn afresh for every pass.
#include <cstdint>
#include <string>

namespace zyp::file {

// Results: 0 erased and deleted; 2 missing; 12 the file cannot be opened for
// writing; 14 a write failed; 17 its size cannot be read; 19 it cannot be
// deleted. A failed write still deletes the file. A read-only file is made
// writable first. A symbolic link is removed itself; what it names is left alone.
int erase_file(const std::string& path, uint32_t passes);

// A file as above, or a folder tree: the first failed item stops the walk
// and the folder is kept; otherwise the folder is removed (19 when it cannot be).
int erase_path(const std::string& path, uint32_t passes);

}  // namespace zyp::file
