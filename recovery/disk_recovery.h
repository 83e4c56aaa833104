#pragma once
// The key-recovery program's run: the encrypted file chosen in the open-file
// dialog, its first recovery field, the shares read from the key-disk folder
// ("A:\krkey.bin") disk after disk, and the file's key unwrapped into the
// user's session. Messages come from the language module "ZYPRECOV".
#include <cstdint>
#include <functional>

namespace zyp::recovery {

// Called after the user confirmed the insertion of disk `number` (1 to k),
// before the disk is read.
using DiskInserted = std::function<void(uint32_t number)>;

// 1 when the key was recovered into the token's session, else 0 (also when
// no file was chosen, which shows nothing).
int recover_from_disks(uint32_t token, const DiskInserted& inserted = {});

}  // namespace zyp::recovery
