// Decryption of a file: the encrypted image is copied into a temporary file,
// its check value verified there, its body decrypted there by the server
// through a named mapping, and the contents between the markers (expanded
// when compressed) written over the destination itself. The source is not
// changed before its contents are known to be sound.
#include <sys/stat.h>
#include <zlib.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "filecrypt/file_image.h"
#include "filecrypt/file_operation.h"
#include "filecrypt/header_format.h"
#include "filecrypt/journal.h"
#include "platform/export_guard.h"
#include "platform/last_error.h"
#include "zyp/zypclient.h"
#include "zyp/zyphook.h"
#include "zyp/zypsess.h"
#include "zyp/zyptools.h"

using zyp::platform::guarded;

namespace zyp::file {
namespace {

constexpr int kUnexpected = ZYPFILE_CANNOT_OPEN;
constexpr char kExpandLabel[] = "ZYPZIP ZYPExpandFile";

// The decrypted contents: a view of the image, or the expanded stream.
struct Contents {
  std::span<const uint8_t> bytes;
  std::unique_ptr<uint8_t[]> expanded;
};

int expand(std::span<const uint8_t> stream, uint32_t plain_length, Contents& contents) {
  contents.expanded.reset(new (std::nothrow) uint8_t[plain_length == 0 ? 1 : plain_length]);
  if (!contents.expanded) return ZYPFILE_CANNOT_EXPAND;
  uLongf produced = plain_length;
  if (::uncompress(contents.expanded.get(), &produced, stream.data(), stream.size()) != Z_OK) {
    ZYPTrace(0, "%s Error during compression process", kExpandLabel);
    return ZYPFILE_CANNOT_EXPAND;
  }
  contents.bytes = {contents.expanded.get(), produced};
  return ZYPFILE_OK;
}

// Verifies the check value of the image copied into `output`: the field is
// zeroed there for the digest, never in the source.
int verify_check_value(const CipherKey& key, int output, uint8_t* image, uint64_t length) {
  auto* header = reinterpret_cast<FileHeader*>(image);
  uint8_t stored[sizeof header->CheckValue];
  std::memcpy(stored, header->CheckValue, sizeof stored);
  std::memset(header->CheckValue, 0, sizeof stored);
  uint8_t computed[sizeof stored] = {};
  int result = compute_check_value(key, output, kDecryptStem, length, computed);
  std::memcpy(header->CheckValue, stored, sizeof stored);
  if (result != ZYPCIP_OK) return result;
  return std::memcmp(stored, computed, sizeof stored) == 0 ? ZYPFILE_OK : ZYPFILE_CHECK_MISMATCH;
}

// The contents of an image of the current layout, decrypted in `output`.
int decrypt_current(const CipherKey& key, const FileHeader& header, int output, uint8_t* image, uint64_t length,
                    Contents& contents) {
  if (length < kBodyOffset) return ZYPFILE_NOT_ENCRYPTED;
  if (header.Options & ZYPFILE_OPTION_CHECK_VALUE) {
    int checked = verify_check_value(key, output, image, length);
    if (checked != ZYPFILE_OK) return checked;
  }
  uint64_t body = length - kBodyOffset;
  int result = crypt_in_server(key, false, output, kBodyOffset, body);
  if (result != ZYPCIP_OK) return result;
  auto payload = unframe_body({image + kBodyOffset, body});
  if (!payload) return ZYPFILE_BAD_MARKER;
  uint32_t plain_length = read_word(image + kLengthOffset);
  if (header.Options & ZYPFILE_OPTION_COMPRESSED) return expand(*payload, plain_length, contents);
  if (plain_length > payload->size()) return ZYPFILE_BAD_MARKER;
  contents.bytes = payload->first(plain_length);
  return ZYPFILE_OK;
}

// The contents of an image of the earlier layout: 96-byte header, plain
// length, and a body that starts with its own marker.
int decrypt_earlier(const CipherKey& key, int output, uint8_t* image, uint64_t length, Contents& contents) {
  uint64_t body = length - kEarlierBodyOffset;
  if (body == 0) return ZYPFILE_OK;
  int result = crypt_in_server(key, false, output, kEarlierBodyOffset, body);
  if (result != ZYPCIP_OK) return result;
  auto kept = earlier_contents({image + kEarlierBodyOffset, body}, read_word(image + kEarlierLengthOffset));
  if (!kept) return ZYPFILE_BAD_MARKER;
  contents.bytes = *kept;
  return ZYPFILE_OK;
}

// Puts the destination's contents into `copy` and on the disk. In place they
// are the encrypted source, which needs no overwrite passes when it goes.
bool copy_old_contents(Destination& destination, std::span<const uint8_t> source_bytes, TempFile& copy) {
  if (destination.is_source()) {
    copy.holds_only_ciphertext();
    return rewrite_destination(copy.fd(), source_bytes);
  }
  if (destination.file().info().st_size == 0) return rewrite_destination(copy.fd(), {});
  auto old = plain_mapping(destination.file().fd(), 0);
  return old && rewrite_destination(copy.fd(), {static_cast<const uint8_t*>(old->data()), old->size()});
}

int decipher_file(const char* source, const char* destination, uint32_t showProgress, uint32_t check) {
  OperationTimes times("decryption");
  uint32_t token = static_cast<uint32_t>(ZYPGetPrimaryToken());
  ApiCallerScope api_caller;
  AttributesKept source_attributes(source);
  auto locked = LockedFile::open(source, false);
  if (!locked) return ZYPFILE_CANNOT_OPEN;
  uint64_t length = static_cast<uint64_t>(locked->info().st_size);
  if (length > UINT32_MAX) return ZYPFILE_TOO_LARGE;
  if (length < kEarlierBodyOffset) return ZYPFILE_NOT_ENCRYPTED;
  if (check == 1) {
    int allowed = decryption_permission(source);
    if (allowed != ZYPFILE_OK) return allowed;
  }

  auto encrypted = plain_mapping(locked->fd(), 0);
  if (!encrypted) return ZYPFILE_CANNOT_OPEN;
  std::span<const uint8_t> stored{static_cast<const uint8_t*>(encrypted->data()), encrypted->size()};
  bool earlier = is_earlier_layout(stored);
  std::optional<FileHeader> header = earlier ? std::nullopt : current_header(stored);
  if (!earlier && !header) return ZYPFILE_NOT_ENCRYPTED;
  CipherKey key{token, read_word(stored.data() + offsetof(FileHeader, Algo)),
                read_word(stored.data() + offsetof(FileHeader, Key))};
  uint32_t block_size = 0;
  int result = ZYPCIPGetBlockSize(token, key.algo, &block_size);
  if (result != ZYPCIP_OK) return result;

  FileProgress progress(showProgress != 0);
  progress.start(source, length - (earlier ? kEarlierBodyOffset : kBodyOffset));
  auto target = Destination::open(*locked, destination);
  if (!target) return static_cast<int>(platform::win_error_from_errno(errno));
  // The temporary files are made just before the record that names them, so
  // that an operation killed in between leaves nothing behind in practice.
  std::unique_ptr<Journal> journal;  // goes after the temporary files it names
  auto output = TempFile::create();
  if (!output) return ZYPFILE_CANNOT_OPEN;
  // The destination's old contents beside it, from which an interrupted
  // rewrite is undone: the encrypted original when decrypting in place.
  auto original = TempFile::create_beside(destination);
  if (!original) return ZYPFILE_CANNOT_OPEN;
  journal = Journal::begin(Rewrite::roll_back, destination, target->file().info(), original->path(), output->path());
  if (!journal || !copy_old_contents(*target, stored, *original)) return ZYPFILE_CANNOT_OPEN;
  auto copy = plain_mapping(output->fd(), length);
  if (!copy) return ZYPFILE_CANNOT_OPEN;
  auto* image = static_cast<uint8_t*>(copy->data());
  std::memcpy(image, stored.data(), length);
  encrypted.reset();

  Contents contents;
  result = earlier ? decrypt_earlier(key, output->fd(), image, length, contents)
                   : decrypt_current(key, *header, output->fd(), image, length, contents);
  if (result != ZYPFILE_OK) return result;
  progress.set(75.0f);
  result = replace_destination(*locked, *target, contents.bytes, *journal);
  if (journal->pending()) original->keep();
  copy.reset();
  output.reset();
  progress.set(100.0f);
  return result;
}

}  // namespace
}  // namespace zyp::file

using zyp::file::kUnexpected;

ZYP_API int ZYPDecipherFile(const char* file, FileHeader* header) {
  return ZYPDecipherFileToEx(file, file, header, 1, 1);
}

ZYP_API int ZYPDecipherFileEx(const char* file, FileHeader* header, uint32_t showProgress, uint32_t check) {
  return guarded(kUnexpected, [&] {
    if (!file || !header) return ZYPFILE_NULL_ARGUMENT;
    FileHeader stored;
    if (ZYPGetFileHeader(file, &stored) == ZYPFILE_OK) {
      if (check != 0) {
        int valid = ZYPAskValidHeader(&stored);
        if (valid != ZYPFILE_OK) return valid;
      }
      FileHeader clear = *header;
      ZYPFillHeader(&clear, 0, ZYPFILE_NO_KEY, header->Options, header->User);
      ZYPSetOpenedFileInfo(file, &clear);
      return ZYPDecipherFileToEx(file, file, &stored, showProgress, 0);
    }
    FileHeader clear = *header;
    ZYPFillHeader(&clear, 0, ZYPFILE_NO_KEY, header->Options, header->User);
    int result = ZYPSetOpenedFileInfo(file, &clear);
    if (result != ZYPHOOK_CALLER_PROCESSES) return result;
    return ZYPDecipherFileToEx(file, file, header, showProgress, check);
  });
}

ZYP_API int ZYPSyncDecipherFileEx(const char* file, FileHeader* header, uint32_t showProgress, uint32_t check) {
  return ZYPDecipherFileToEx(file, file, header, showProgress, check);
}

ZYP_API int ZYPDecipherFileTo(const char* source, const char* destination, FileHeader* header) {
  return ZYPDecipherFileToEx(source, destination, header, 1, 1);
}

ZYP_API int ZYPDecipherFileToEx(const char* source, const char* destination, FileHeader* header,
                                uint32_t showProgress, uint32_t check) {
  return guarded(kUnexpected, [&] {
    if (!source || !destination || !header) return ZYPFILE_NULL_ARGUMENT;
    return zyp::file::decipher_file(source, destination, showProgress, check);
  });
}
