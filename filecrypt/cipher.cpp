// Encryption of a file: the image (header, plain length, framed payload) is
// built in a temporary file, encrypted there by the server through a named
// mapping, sealed with its check value and then written over the
// destination itself.
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <string>

#include "filecrypt/file_image.h"
#include "filecrypt/file_operation.h"
#include "filecrypt/header_format.h"
#include "filecrypt/journal.h"
#include "filecrypt/settings.h"
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
constexpr char kCompressLabel[] = "ZYPZIP ZYPCompressFile";

// Writes the payload at kPayloadOffset of `image`: the zlib stream of the
// contents when asked for and shorter than them, else the contents. Its
// length, and whether it is compressed.
uint64_t write_payload(uint8_t* image, std::span<const uint8_t> contents, bool compress_it, bool& compressed) {
  uint8_t* payload = image + kPayloadOffset;
  compressed = false;
  if (compress_it && !contents.empty()) {
    uLongf produced = contents.size();
    if (::compress(payload, &produced, contents.data(), contents.size()) == Z_OK) {
      compressed = true;
      return produced;
    }
    ZYPTrace(0, "%s Error during compression process", kCompressLabel);
  }
  if (!contents.empty()) std::memcpy(payload, contents.data(), contents.size());
  return contents.size();
}

bool field_is_zero(const uint8_t* field, size_t size) {
  for (size_t i = 0; i < size; ++i)
    if (field[i] != 0) return false;
  return true;
}

// A field counts only when the provider delivered one: without a recovery
// key of its kind the provider answers 0 with a zero field.
void add_recovery_fields(const CipherKey& key, FileHeader& header) {
  struct {
    uint8_t* field;
    uint32_t bit;
  } fields[] = {{header.RecoveryField0, ZYPFILE_OPTION_RECOVERY0}, {header.RecoveryField1, ZYPFILE_OPTION_RECOVERY1}};
  for (uint32_t index = 0; index < 2; ++index) {
    uint32_t length = ZYPFILE_RECOVERY_FIELD_SIZE;
    int result = ZYPCIPGetKeyRecoveryField(key.token, key.key, index, fields[index].field, &length);
    if (result == ZYPCIP_OK && !field_is_zero(fields[index].field, ZYPFILE_RECOVERY_FIELD_SIZE)) {
      header.Options |= fields[index].bit;
    } else {
      std::memset(fields[index].field, 0, ZYPFILE_RECOVERY_FIELD_SIZE);
      header.Options &= ~fields[index].bit;
    }
  }
}

bool write_header(int fd, const FileHeader& header) {
  return ::pwrite(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header);
}

// Builds the clear image of `contents` in `output` and returns its body
// length g (0 when the output cannot be mapped). Sets bit 0x1 of `header`.
uint64_t build_image(int output, FileHeader& header, std::span<const uint8_t> contents, uint32_t block_size) {
  auto image = plain_mapping(output, image_length(body_length(contents.size(), block_size)));
  if (!image) return 0;
  auto* bytes = static_cast<uint8_t*>(image->data());
  bool compressed = false;
  uint64_t payload = write_payload(bytes, contents, cached_setting(CachedSetting::compression) != 0, compressed);
  if (compressed)
    header.Options |= ZYPFILE_OPTION_COMPRESSED;
  else
    header.Options &= ~ZYPFILE_OPTION_COMPRESSED;
  uint64_t body = body_length(payload, block_size);
  frame_payload({bytes, image_length(body)}, static_cast<uint32_t>(contents.size()), payload);
  image.reset();
  return ::ftruncate(output, static_cast<off_t>(image_length(body))) == 0 ? body : 0;
}

// Encrypts the body and seals the image: recovery fields, then the check
// value over the whole image with the field zero.
int seal_image(const CipherKey& key, int output, uint64_t body, FileHeader& header) {
  int result = crypt_in_server(key, true, output, kBodyOffset, body);
  if (result != ZYPCIP_OK) return result;
  add_recovery_fields(key, header);
  header.Options |= ZYPFILE_OPTION_CHECK_VALUE;
  std::memset(header.CheckValue, 0, sizeof header.CheckValue);
  if (!write_header(output, header)) return ZYPFILE_CANNOT_OPEN;
  result = compute_check_value(key, output, kEncryptStem, image_length(body), header.CheckValue);
  if (result != ZYPCIP_OK) return result;
  return write_header(output, header) ? ZYPFILE_OK : ZYPFILE_CANNOT_OPEN;
}

// Decrypts an already encrypted source first, so that it is encrypted once
// with the new key. A failure stops the encryption with the file untouched.
int decrypt_before_reencryption(const char* source, uint32_t showProgress, uint32_t check) {
  FileHeader stored;
  int result = read_header_from_disk(source, stored);
  if (result != ZYPFILE_OK) return result;
  return ZYPDecipherFileEx(source, &stored, showProgress, check);
}

int cipher_file(const char* source, const char* destination, FileHeader& header, uint32_t showProgress,
                uint32_t check) {
  OperationTimes times("encryption");
  CipherKey key{static_cast<uint32_t>(ZYPGetPrimaryToken()), header.Algo, header.Key};
  fill_header(header, header.Algo, header.Key, header.Options, header.User);
  ApiCallerScope api_caller;
  AttributesKept source_attributes(source);
  auto locked = LockedFile::open(source, false);
  if (!locked) return ZYPFILE_CANNOT_OPEN;
  if (static_cast<uint64_t>(locked->info().st_size) > UINT32_MAX) return ZYPFILE_TOO_LARGE;

  uint32_t block_size = 0;
  int result = ZYPCIPGetBlockSize(key.token, key.algo, &block_size);
  if (result != ZYPCIP_OK) return result;

  if (check == 1) {
    result = encryption_permission(source);
    if (result == ZYPHOOK_ALREADY_ENCRYPTED) result = decrypt_before_reencryption(source, showProgress, check);
    if (result != ZYPFILE_OK) return result;
    locked->refresh_size();
  }
  uint64_t plain_size = static_cast<uint64_t>(locked->info().st_size);
  if (!fits_32_bits(image_length(body_length(plain_size, block_size)))) return ZYPFILE_TOO_LARGE;

  FileProgress progress(showProgress != 0);
  progress.start(source, plain_size);
  std::unique_ptr<platform::FileMapping> contents;
  if (plain_size != 0 && !(contents = plain_mapping(locked->fd(), 0))) return ZYPFILE_CANNOT_OPEN;
  auto target = Destination::open(*locked, destination);
  if (!target) return static_cast<int>(platform::win_error_from_errno(errno));
  // On the destination's file system: once sealed, it is also the copy from
  // which an interrupted rewrite is completed.
  std::unique_ptr<Journal> journal;  // goes after the temporary file it names
  auto output = TempFile::create_beside(destination);
  if (!output) return ZYPFILE_CANNOT_OPEN;
  journal = Journal::begin(Rewrite::roll_forward, destination, target->file().info(), output->path(), "");
  if (!journal) return ZYPFILE_CANNOT_OPEN;

  std::span<const uint8_t> plain;
  if (contents) plain = {static_cast<const uint8_t*>(contents->data()), contents->size()};
  uint64_t body = build_image(output->fd(), header, plain, block_size);
  contents.reset();
  if (body == 0) return ZYPFILE_CANNOT_OPEN;
  if ((result = seal_image(key, output->fd(), body, header)) != ZYPFILE_OK) return result;
  progress.set(75.0f);

  auto image = plain_mapping(output->fd(), image_length(body));
  if (!image || !output->sync()) return ZYPFILE_CANNOT_OPEN;
  result = replace_destination(*locked, *target, {static_cast<const uint8_t*>(image->data()), image->size()},
                               *journal);
  image.reset();
  if (journal->pending()) output->keep();
  output.reset();
  progress.set(100.0f);
  return result;
}

}  // namespace
}  // namespace zyp::file

ZYP_API int ZYPCipherFile(const char* file, FileHeader* header) { return ZYPCipherFileEx(file, header, 1, 1); }

ZYP_API int ZYPCipherFileEx(const char* file, FileHeader* header, uint32_t showProgress, uint32_t check) {
  return guarded(zyp::file::kUnexpected, [&] {
    if (!file || !header) return ZYPFILE_NULL_ARGUMENT;
    int result = ZYPSetOpenedFileInfo(file, header);
    if (result != ZYPHOOK_CALLER_PROCESSES) return result;
    return ZYPCipherFileToEx(file, file, header, showProgress, check);
  });
}

ZYP_API int ZYPCipherFileTo(const char* source, const char* destination, FileHeader* header) {
  return ZYPCipherFileToEx(source, destination, header, 1, 1);
}

ZYP_API int ZYPCipherFileToEx(const char* source, const char* destination, FileHeader* header,
                              uint32_t showProgress, uint32_t check) {
  return guarded(zyp::file::kUnexpected, [&] {
    if (!source || !destination || !header) return ZYPFILE_NULL_ARGUMENT;
    return zyp::file::cipher_file(source, destination, *header, showProgress, check);
  });
}
