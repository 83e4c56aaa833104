#include "recovery/shares.h"

#include <string.h>

#include "platform/atomic_file.h"

namespace zyp::recovery {
namespace {

void put_le32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint32_t le32_at(std::string_view bytes, size_t offset) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[offset + i])) << (8 * i);
  return value;
}

}  // namespace

Share::~Share() { wipe(bytes.data(), bytes.size()); }

void wipe(void* bytes, size_t size) { ::explicit_bzero(bytes, size); }

bool valid_set(uint32_t disks, uint32_t needed) {
  return disks >= 1 && disks <= kMostDisks && needed >= 1 && needed <= disks;
}

bool disk_carries(uint32_t disks, uint32_t needed, uint32_t disk, size_t position) {
  // Offset o is carried by the disks j with (o - j) mod n in 0 .. n - k.
  size_t offset = position % disks;
  size_t distance = (offset + disks - disk % disks) % disks;
  return distance <= disks - needed;
}

uint32_t fewest_disks_that_may_rebuild(uint32_t disks, uint32_t needed) {
  uint32_t window = disks - needed + 1;
  return (disks + window - 1) / window;
}

void make_share(const RecordBytes& record, uint32_t disks, uint32_t needed, uint32_t disk, Share& share) {
  share.disks = disks;
  share.needed = needed;
  for (size_t position = 0; position < kRecordSize; ++position)
    share.bytes[position] = disk_carries(disks, needed, disk, position) ? record[position] : 0;
}

void add_share(RecordBytes& record, const RecordBytes& share) {
  for (size_t position = 0; position < kRecordSize; ++position) record[position] |= share[position];
}

std::string encode_share_file(const Share& share) {
  std::string out;
  out.reserve(kShareFileSize);
  put_le32(out, share.disks);
  put_le32(out, share.needed);
  out.append(reinterpret_cast<const char*>(share.bytes.data()), share.bytes.size());
  return out;
}

bool decode_share_file(std::string_view bytes, Share& share) {
  if (bytes.size() != kShareFileSize) return false;
  uint32_t disks = le32_at(bytes, 0);
  uint32_t needed = le32_at(bytes, 4);
  if (!valid_set(disks, needed)) return false;
  share.disks = disks;
  share.needed = needed;
  ::memcpy(share.bytes.data(), bytes.data() + 8, kRecordSize);
  return true;
}

std::string share_file_path(const std::string& folder) {
  std::string path = folder;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path + "/" + kShareFileName;
}

bool read_share_file(const std::string& path, Share& share) {
  auto bytes = platform::read_whole_file(path);
  if (!bytes) return false;
  bool decoded = decode_share_file(*bytes, share);
  wipe(bytes->data(), bytes->size());
  return decoded;
}

bool write_share_file(const std::string& path, const Share& share) {
  std::string bytes = encode_share_file(share);
  bool written = platform::write_file_atomically(path, bytes, 0600);
  wipe(bytes.data(), bytes.size());
  return written;
}

}  // namespace zyp::recovery
