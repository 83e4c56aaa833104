#pragma once
// The send folder: "InstallPath" of the machine's "General" section (the
// machine folder when it is not set) with "/Sealpost" after it. Whatever is
// left in it is erased when the first process loads the library and when the
// last one unloads it.
#include <string>

namespace zyp::file {

std::string send_folder();
// Erases the folder with the cached number of passes; 2 when it does not exist.
int wipe_send_folder();

}  // namespace zyp::file
