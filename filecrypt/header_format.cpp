#include "filecrypt/header_format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zyp::file {

const uint8_t kMagic[32] = {0x5A, 0x59, 0x50, 0x00, 0x4E, 0x89, 0x03, 0xB7, 0xC2, 0x20, 0x97,
                            0xF2, 0xE1, 0x37, 0x0E, 0x5D, 0xF2, 0xD4, 0x0E, 0x03, 0xFE, 0x00,
                            0x00, 0x00, 0x3F, 0x3A, 0x5C, 0x00, 0x53, 0x6F, 0x66, 0x74};

const uint8_t kStamp[17] = {'Q', 'u', 'i', 'l', 'l', 'm', 'a', 'r', 's', 'h', 'F', 'o', 'l', 'd', 'e', 'r', 0};

namespace {

static_assert(sizeof kMagic == sizeof FileHeader{}.Magic);
static_assert(sizeof kStamp == sizeof FileHeader{}.Stamp);

constexpr int kFound = 0;
constexpr int kMissing = 2;
constexpr int kNotEncrypted = ZYPFILE_NOT_ENCRYPTED;
// The header and the plain length after it.
constexpr uint64_t kCurrentMinimum = ZYPFILE_HEADER_SIZE + 4;
constexpr uint64_t kEarlierMinimum = ZYPFILE_EARLIER_HEADER_SIZE + 4;

uint32_t little_endian_word(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

// Reads up to `size` bytes from the start; the count read, or -1.
ssize_t read_start(int fd, uint8_t* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t got = ::pread(fd, buffer + done, size - done, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

int recognise(const uint8_t* bytes, size_t read, uint64_t file_size, FileHeader& header) {
  constexpr size_t kVersionOffset = offsetof(FileHeader, Version);
  if (read < kVersionOffset + 4 || std::memcmp(bytes + 4, kMagic, sizeof kMagic) != 0) return kNotEncrypted;
  uint32_t version = little_endian_word(bytes + kVersionOffset);
  if (version == ZYPFILE_VERSION_EARLIER && file_size >= kEarlierMinimum) {
    std::memset(&header, 0, sizeof header);
    std::memcpy(&header, bytes, ZYPFILE_EARLIER_HEADER_SIZE);
    return kFound;
  }
  if (version == ZYPFILE_VERSION && little_endian_word(bytes) == ZYPFILE_HEADER_SIZE &&
      file_size >= kCurrentMinimum) {
    std::memcpy(&header, bytes, sizeof header);
    return kFound;
  }
  return kNotEncrypted;
}

}  // namespace

void fill_header(FileHeader& header, uint32_t algo, uint32_t key, uint32_t options, const char* user) {
  header.HeaderSize = ZYPFILE_HEADER_SIZE;
  std::memcpy(header.Magic, kMagic, sizeof kMagic);
  header.Version = ZYPFILE_VERSION;
  header.Key = key;
  header.Algo = algo;
  header.Options = options;
  // Copied through a local so that a label taken from the record itself works.
  char label[sizeof header.User] = {};
  if (user) std::memcpy(label, user, ::strnlen(user, sizeof label - 1));
  std::memcpy(header.User, label, sizeof label);
  std::memcpy(header.Stamp, kStamp, sizeof kStamp);
  std::memset(header.CheckValue, 0, sizeof header.CheckValue);
  std::memset(header.RecoveryField0, 0, sizeof header.RecoveryField0);
  std::memset(header.RecoveryField1, 0, sizeof header.RecoveryField1);
}

int read_header_from_disk(const char* path, FileHeader& header) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? kMissing : kNotEncrypted;
  struct stat info {};
  int result = kNotEncrypted;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    uint8_t bytes[sizeof(FileHeader)];
    ssize_t read = read_start(fd, bytes, sizeof bytes);
    if (read > 0) result = recognise(bytes, static_cast<size_t>(read), static_cast<uint64_t>(info.st_size), header);
  }
  ::close(fd);
  return result;
}

}  // namespace zyp::file
