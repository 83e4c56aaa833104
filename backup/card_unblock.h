#pragma once
// Unblocking a smart card through the smart-card library ZYPCARD.DLL
// (libzypcard.so), which the suite does not ship: dialog 110 of the rescue
// program's language module takes the unblocking code (8 hexadecimal digits)
// and the new PIN twice, and the library does the rest. Without the library
// nothing is shown.
#include "zyp/zyptools.h"

namespace zyp::backup {

void unblock_card(const ZYPResourceModule* module);

}  // namespace zyp::backup
