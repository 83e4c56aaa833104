#pragma once
// The k-of-n share disks of a recovery private key.
//
// Share file "krkey.bin", 714 bytes: n (the disks of the set, 1 to 7) and k
// (the disks needed, 1 to n), each 4 bytes little-endian, then the 706 bytes
// of a recovery key record in which the bytes this disk does not carry are
// zero.
//
// The record's bytes are taken in consecutive groups of n; disk j (0 to
// n - 1) carries, in every group, the bytes at the offsets (j + t) mod n for
// t = 0 to n - k. Every byte is thus on n - k + 1 disks, any k disks carry
// every byte, and OR-ing their shares rebuilds the record whatever the order.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "zyp/zypprov.h"

namespace zyp::recovery {

inline constexpr size_t kRecordSize = sizeof(ZYPRecoveryKeyRecord);
inline constexpr size_t kShareFileSize = 8 + kRecordSize;
inline constexpr uint32_t kMostDisks = 7;
inline constexpr char kShareFileName[] = "krkey.bin";

using RecordBytes = std::array<uint8_t, kRecordSize>;

// Key material: wiped when it goes.
struct Share {
  uint32_t disks = 0;   // n
  uint32_t needed = 0;  // k
  RecordBytes bytes{};
  ~Share();
};

// 1 <= n <= 7 and 1 <= k <= n.
bool valid_set(uint32_t disks, uint32_t needed);

// Whether disk `disk` of an n, k set carries the record byte at `position`.
bool disk_carries(uint32_t disks, uint32_t needed, uint32_t disk, size_t position);

// The share of disk `disk` (0 to n - 1) of `record`.
void make_share(const RecordBytes& record, uint32_t disks, uint32_t needed, uint32_t disk, Share& share);

// The rule guarantees that k disks suffice, not that fewer never do: the
// disks carry windows of n - k + 1 consecutive offsets, and some groups of
// ceil(n / (n - k + 1)) disks already cover every offset (2 of 7 disks when
// k is 4). This is that smallest group size.
uint32_t fewest_disks_that_may_rebuild(uint32_t disks, uint32_t needed);

// ORs `share` into `record`.
void add_share(RecordBytes& record, const RecordBytes& share);

// The 714 bytes of a share file, and back. Reading refuses any other length
// and an n or k out of range.
std::string encode_share_file(const Share& share);
bool decode_share_file(std::string_view bytes, Share& share);

// "<folder>/krkey.bin".
std::string share_file_path(const std::string& folder);
// Reads and decodes a share file; false when it cannot be read or is not one.
bool read_share_file(const std::string& path, Share& share);
// Writes a share file with mode 0600, replacing one that is there.
bool write_share_file(const std::string& path, const Share& share);

void wipe(void* bytes, size_t size);

}  // namespace zyp::recovery
