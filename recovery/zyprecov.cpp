// zyprecov: the key-recovery program. For the holder of the recovery share
// disks: brings an encrypted file's key back into the user's open session.
// Exit code 1 when the key was recovered, else 0.
#include "recovery/disk_recovery.h"
#include "recovery/file_key.h"

int main() { return zyp::recovery::recover_from_disks(zyp::recovery::configured_rescue_token()); }
