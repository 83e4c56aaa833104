#pragma once
// Writing and removing a folder's mark (filecrypt/mark_format.h) on disk.
// Results: 0; 2 not a folder; 21 the mark file could not be created or
// written (last_error() says why).
#include <string>

#include "zyp/zypfile.h"

namespace zyp::file {

// Creates the mark file when missing (hidden and system), then writes the
// class lines and the header's four fields.
int mark_folder(const std::string& folder, const FileHeader& header);
// Rewrites the header's four fields of the mark.
int set_folder_mark_header(const std::string& folder, const FileHeader& header);
// Removes the class line and the header section; a missing mark file stays missing.
int unmark_folder(const std::string& folder);

}  // namespace zyp::file
