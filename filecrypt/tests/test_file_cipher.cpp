// Encrypting and decrypting files in place, through the real server over the
// software token, logged in by a scripted dialog.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <future>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/wait.h>

#include "platform/atomic_file.h"
#include "platform/dirs.h"
#include "platform/files.h"
#include "platform/modules.h"
#include "testsupport/test_env.h"
#include "filecrypt/tests/file_test_support.h"
#include "zyp/softtok.h"
#include "zyp/zypclient.h"
#include "zyp/zypfile.h"
#include "zyp/zyphook.h"
#include "zyp/zypprof.h"
#include "zyp/zypsess.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kToken = 0;
constexpr uint32_t kDes40 = CKM_DES_40_CBC;
constexpr size_t kCheckOffset = 85;
constexpr size_t kStampOffset = 68;

// The encrypted file of "hello\n" under the sentence key of "files in the
// marsh", label "demo", with an all-zero stamp.
const Bytes kHelloVector = [] {
  Bytes v(436, 0);
  const uint8_t start[] = {0x70, 0x01, 0x00, 0x00, 0x5a, 0x59, 0x50, 0x00, 0x4e, 0x89, 0x03, 0xb7, 0xc2, 0x20,
                           0x97, 0xf2, 0xe1, 0x37, 0x0e, 0x5d, 0xf2, 0xd4, 0x0e, 0x03, 0xfe, 0x00, 0x00, 0x00,
                           0x3f, 0x3a, 0x5c, 0x00, 0x53, 0x6f, 0x66, 0x74, 0x30, 0x00, 0x01, 0x00, 0xde, 0xb9,
                           0xd4, 0x7e, 0x03, 0x01, 0x00, 0x80, 0x02, 0x00, 0x00, 0x00, 0x64, 0x65, 0x6d, 0x6f};
  std::memcpy(v.data(), start, sizeof start);
  const uint8_t check[] = {0x26, 0xd2, 0xc6, 0xbf, 0x3e, 0x25, 0x21, 0xd9, 0x4f, 0xc6, 0x06, 0xda,
                           0xdc, 0x41, 0x2a, 0xe6, 0xbb, 0x47, 0x17, 0x8a, 0x13, 0x08, 0x27, 0x9e};
  std::memcpy(v.data() + kCheckOffset, check, sizeof check);
  const uint8_t tail[] = {0x06, 0x00, 0x00, 0x00, 0x69, 0xc2, 0x5e, 0x09, 0xf2, 0x98, 0x8f, 0xcd, 0xae, 0x09, 0xca,
                          0xb9, 0x5a, 0xe3, 0x25, 0x2b, 0xbe, 0xc0, 0x89, 0x51, 0x49, 0x0d, 0xf7, 0x77, 0x0d, 0x56,
                          0x3f, 0x46, 0x7f, 0x66, 0x7e, 0x59, 0x4b, 0xf4, 0x25, 0x6b, 0xcf, 0x5d, 0x62, 0x8e, 0x06,
                          0xb6, 0x73, 0x13, 0xf2, 0xbc, 0x58, 0x10, 0x2a, 0x14, 0xf5, 0x53, 0xd4, 0x6e, 0xd3, 0x0c,
                          0xb4, 0x07, 0x79, 0x59, 0x15, 0x97, 0x09, 0x9d};
  std::memcpy(v.data() + 368, tail, sizeof tail);
  return v;
}();

Bytes read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes random_bytes(size_t size, uint32_t seed) {
  std::mt19937 generator(seed);
  Bytes bytes(size);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(generator());
  return bytes;
}

uint32_t word_at(const Bytes& bytes, size_t offset) {
  uint32_t value = 0;
  std::memcpy(&value, bytes.data() + offset, 4);
  return value;
}

std::vector<std::string> files_named(const std::string& folder, const char* start) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return names;
  while (dirent* entry = ::readdir(dir))
    if (std::strncmp(entry->d_name, start, std::strlen(start)) == 0) names.emplace_back(entry->d_name);
  ::closedir(dir);
  return names;
}

// Temporary files left in the temporary folder or in `folder`.
std::vector<std::string> temporary_files(const std::string& folder) {
  std::vector<std::string> names = files_named(zyp::platform::temp_dir(), "ZYP");
  for (const std::string& name : files_named(folder, "ZYP")) names.push_back(name);
  return names;
}

using zyp::file::testing::start_probe;
using zyp::file::testing::run_probe;
using zyp::file::testing::wait_for;

class FileCipher : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = zyp::testing::make_temp_folder("cipher");
    zyp::file::testing::open_session_through_server(folder_, kToken);
    if (HasFatalFailure()) return;
    ASSERT_EQ(ZYPSetCompressionMode(0), 0);
  }
  void TearDown() override {
    ZYPSetCompressionMode(0);
    ZYPCIPShutdownPKCS();
  }

  static uint32_t sentence_key(const char* label, const char* sentence) {
    uint32_t key = 0;
    EXPECT_EQ(ZYPCIPGenerateKeyFromSentence(kToken, kDes40, ZYPCIP_TYPE_ENCRYPTION, label, sentence, &key), 0);
    return key;
  }
  uint32_t marsh_key() { return sentence_key("marsh", "files in the marsh"); }

  static FileHeader header_for(uint32_t key, const char* user = "demo") {
    FileHeader header;
    std::memset(&header, 0, sizeof header);
    EXPECT_EQ(ZYPFillHeader(&header, kDes40, key, 0, user), 0);
    return header;
  }

  std::string file_with(const std::string& name, const Bytes& contents) {
    std::string path = folder_ + "/" + name;
    write_bytes(path, contents);
    return path;
  }

  static int encrypt(const std::string& path, uint32_t key) {
    FileHeader header = header_for(key);
    return ZYPCipherFileToEx(path.c_str(), path.c_str(), &header, 0, 1);
  }
  static int decrypt(const std::string& path) {
    FileHeader header = header_for(0);
    return ZYPDecipherFileToEx(path.c_str(), path.c_str(), &header, 0, 1);
  }

  std::string folder_;
};

TEST_F(FileCipher, HelloIsEncryptedByteForByteAsTheVectorAndTheVectorDecrypts) {
  uint32_t key = marsh_key();
  ASSERT_EQ(key, 0x7ED4B9DEu);
  std::string path = file_with("hello", text("hello\n"));
  FileHeader header = header_for(key);
  ASSERT_EQ(ZYPCipherFileToEx(path.c_str(), path.c_str(), &header, 0, 1), 0);
  EXPECT_EQ(header.Options, ZYPFILE_OPTION_CHECK_VALUE);

  Bytes written = read_bytes(path);
  ASSERT_EQ(written.size(), kHelloVector.size());
  // Only the stamp and, through it, the check value differ from the vector.
  Bytes comparable = written;
  std::memset(comparable.data() + kStampOffset, 0, 17);
  std::memcpy(comparable.data() + kCheckOffset, kHelloVector.data() + kCheckOffset, 24);
  EXPECT_EQ(comparable, kHelloVector);
  EXPECT_EQ(decrypt(path), 0);
  EXPECT_EQ(read_bytes(path), text("hello\n"));

  std::string vector_file = file_with("vector", kHelloVector);
  EXPECT_EQ(decrypt(vector_file), 0);
  EXPECT_EQ(read_bytes(vector_file), text("hello\n"));
  EXPECT_TRUE(temporary_files(folder_).empty());
}

TEST_F(FileCipher, SizesAndCompressionGiveTheLayoutsAndComeBackWhole) {
  uint32_t key = marsh_key();
  Bytes abc;
  for (int i = 0; i < 100; ++i) abc.insert(abc.end(), {'a', 'b', 'c'});
  struct Case {
    const char* what;
    Bytes contents;
    uint32_t compression;
    size_t expected_size;  // 0: only the round trip is checked
    uint32_t compressed_bit;
  } cases[] = {
      {"empty", {}, 0, 428, 0},
      {"n = 2, no padding", text("ab"), 0, 372 + 56, 0},
      {"n = 3, 7 bytes of padding", text("abc"), 0, 372 + 64, 0},
      {"empty with compression on", {}, 1, 428, 0},
      {"compressible", abc, 1, 444, ZYPFILE_OPTION_COMPRESSED},
      {"incompressible stays plain", random_bytes(4099, 1), 1, 372 + 4160, 0},
      {"several MiB", random_bytes((3 << 20) + 5, 2), 0, 0, 0},
      {"several MiB compressible", Bytes((2 << 20) + 1, 'z'), 1, 0, ZYPFILE_OPTION_COMPRESSED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(ZYPSetCompressionMode(c.compression), 0);
    std::string path = file_with("sized", c.contents);
    FileHeader header = header_for(key);
    ASSERT_EQ(ZYPCipherFileToEx(path.c_str(), path.c_str(), &header, 0, 1), 0);
    Bytes written = read_bytes(path);
    if (c.expected_size) {
      EXPECT_EQ(written.size(), c.expected_size);
    }
    EXPECT_EQ(header.Options & ZYPFILE_OPTION_COMPRESSED, c.compressed_bit);
    EXPECT_EQ(word_at(written, 48), header.Options);
    EXPECT_EQ(word_at(written, 368), c.contents.size());
    EXPECT_EQ(decrypt(path), 0);
    EXPECT_EQ(read_bytes(path), c.contents);
  }
  EXPECT_TRUE(temporary_files(folder_).empty());
}

TEST_F(FileCipher, ACompressedFileHasTheVectorsBody) {
  ASSERT_EQ(ZYPSetCompressionMode(1), 0);
  Bytes abc;
  for (int i = 0; i < 100; ++i) abc.insert(abc.end(), {'a', 'b', 'c'});
  std::string path = file_with("abc", abc);
  ASSERT_EQ(encrypt(path, marsh_key()), 0);
  Bytes written = read_bytes(path);
  const Bytes body_start = {0x69, 0xc2, 0x5e, 0x09, 0xf2, 0x98, 0x8f, 0xcd, 0xae, 0x09, 0xca,
                            0xb9, 0x5a, 0xe3, 0x25, 0x2b, 0xbe, 0xc0, 0x89, 0x51, 0x49, 0x0d,
                            0xf7, 0x77, 0xab, 0xf5, 0x71, 0x6c, 0x8a, 0x6c, 0x6f, 0x3f};
  ASSERT_EQ(written.size(), 444u);
  EXPECT_EQ(Bytes(written.begin() + 372, written.begin() + 372 + 32), body_start);
  EXPECT_EQ(word_at(written, 48), 0x3u);
}

TEST_F(FileCipher, AnyChangedByteIsRefusedWith1AndTheFileStaysAsItWas) {
  std::string path = file_with("tampered", random_bytes(1000, 3));
  ASSERT_EQ(encrypt(path, marsh_key()), 0);
  Bytes encrypted = read_bytes(path);
  struct Case {
    const char* what;
    size_t offset;
  } cases[] = {{"user label", 53}, {"stamp", 70}, {"reserved byte", 366}, {"plain length", 368},
               {"first body byte", 372}, {"last body byte", encrypted.size() - 1}, {"check value", kCheckOffset + 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes changed = encrypted;
    changed[c.offset] ^= 0x01;
    write_bytes(path, changed);
    EXPECT_EQ(decrypt(path), ZYPFILE_CHECK_MISMATCH);
    EXPECT_EQ(read_bytes(path), changed);
  }
}

TEST_F(FileCipher, WithoutTheCheckValueADamagedBodyFailsItsMarkersAndNothingChanges) {
  std::string path = file_with("unchecked", random_bytes(100, 4));
  ASSERT_EQ(encrypt(path, marsh_key()), 0);
  Bytes changed = read_bytes(path);
  changed[48] &= static_cast<uint8_t>(~ZYPFILE_OPTION_CHECK_VALUE);
  changed[changed.size() - 2] ^= 0x40;
  write_bytes(path, changed);
  EXPECT_EQ(decrypt(path), ZYPFILE_BAD_MARKER);
  EXPECT_EQ(read_bytes(path), changed);

  std::string plain = file_with("plain", text("not encrypted at all, long enough to hold a header? no"));
  EXPECT_EQ(decrypt(plain), ZYPFILE_NOT_ENCRYPTED);
}

TEST_F(FileCipher, TheFileKeepsItsIdentityAndTimes) {
  Bytes original = random_bytes(70000, 5);
  std::string path = file_with("kept", original);
  std::string link = folder_ + "/hard link";
  ASSERT_EQ(::link(path.c_str(), link.c_str()), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  const timespec times[2] = {{1000000000, 123456700}, {1100000000, 765432100}};
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);

  for (bool encrypting : {true, false}) {
    SCOPED_TRACE(encrypting ? "encrypted" : "decrypted");
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    ASSERT_EQ(encrypting ? encrypt(path, marsh_key()) : decrypt(path), 0);
    struct stat after {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_nlink, 2u);
    EXPECT_EQ(after.st_mtim.tv_sec, times[1].tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, times[1].tv_nsec);
    EXPECT_EQ(after.st_atim.tv_sec, times[0].tv_sec);
    EXPECT_EQ(read_bytes(link), read_bytes(path));
  }
  EXPECT_EQ(read_bytes(link), original);
}

TEST_F(FileCipher, AnEncryptedFileIsEncryptedAgainWithTheNewKey) {
  Bytes original = random_bytes(5000, 6);
  std::string path = file_with("twice", original);
  uint32_t first = marsh_key();
  uint32_t second = sentence_key("second", "another sentence for the second key");
  ASSERT_EQ(encrypt(path, first), 0);
  ASSERT_EQ(encrypt(path, second), 0);
  Bytes encrypted = read_bytes(path);
  EXPECT_EQ(word_at(encrypted, 40), second);
  EXPECT_EQ(word_at(encrypted, 368), original.size());
  EXPECT_EQ(decrypt(path), 0);
  EXPECT_EQ(read_bytes(path), original);
}

TEST_F(FileCipher, AnotherDestinationGetsTheResultAndTheSourceStays) {
  Bytes original = random_bytes(3000, 7);
  std::string source = file_with("source", original);
  std::string encrypted = folder_ + "/encrypted";
  std::string decrypted = folder_ + "/decrypted";
  FileHeader header = header_for(marsh_key());
  ASSERT_EQ(ZYPCipherFileToEx(source.c_str(), encrypted.c_str(), &header, 0, 1), 0);
  EXPECT_EQ(read_bytes(source), original);
  ASSERT_EQ(ZYPDecipherFileToEx(encrypted.c_str(), decrypted.c_str(), &header, 0, 1), 0);
  EXPECT_EQ(read_bytes(decrypted), original);
  EXPECT_NE(read_bytes(encrypted), original);
}

TEST_F(FileCipher, AFileOfTheEarlierLayoutIsDecrypted) {
  uint32_t key = marsh_key();
  Bytes contents = text("the contents of an old file");
  Bytes body = text("QuillmarshFolder");
  body.insert(body.end(), contents.begin(), contents.end());
  body.resize((body.size() + 7) / 8 * 8, 0xEE);  // whatever followed is discarded
  uint32_t length = static_cast<uint32_t>(body.size());
  ASSERT_EQ(ZYPCIPCryptBuffer(kToken, kDes40, key, body.data(), &length), 0);

  Bytes file(100, 0);
  FileHeader current = header_for(key);
  std::memcpy(file.data() + 4, current.Magic, sizeof current.Magic);
  const uint32_t words[][2] = {{36, ZYPFILE_VERSION_EARLIER}, {40, key}, {44, kDes40},
                               {96, static_cast<uint32_t>(contents.size())}};
  for (const auto& word : words) std::memcpy(file.data() + word[0], &word[1], 4);
  file.insert(file.end(), body.begin(), body.end());
  std::string path = file_with("old", file);
  EXPECT_EQ(decrypt(path), 0);
  EXPECT_EQ(read_bytes(path), contents);
}

TEST_F(FileCipher, WithoutTheHookTheFileIsNotEncrypted) {
  std::string path = file_with("hooked", text("through the hook"));
  FileHeader header = header_for(marsh_key());
  ASSERT_EQ(ZYPCipherFileEx(path.c_str(), &header, 0, 1), 0);
  FileHeader stored;
  ASSERT_EQ(ZYPGetFileAttributes(path.c_str(), &stored), 0);
  ASSERT_EQ(ZYPDecipherFileEx(path.c_str(), &stored, 0, 1), 0);
  EXPECT_EQ(read_bytes(path), text("through the hook"));

  ASSERT_EQ(ZYPWriteProfileDWord("General", "HookDevice", 0), 1);
  EXPECT_EQ(ZYPCipherFileEx(path.c_str(), &header, 0, 1), ZYPFILE_NO_HOOK);
  EXPECT_EQ(read_bytes(path), text("through the hook"));
  ASSERT_EQ(ZYPWriteProfileDWord("General", "HookDevice", 1), 1);
}

// With the check on, a file is encrypted only where the folder operations'
// rules allow it, and decrypted only with a key the token holds.
TEST_F(FileCipher, TheChecksOfTheFolderRulesComeFirstAndRefusalsChangeNothing) {
  Bytes original = text("kept out of encryption");
  std::string path = file_with("excluded", original);
  FileHeader header = header_for(marsh_key());
  ASSERT_EQ(ZYPWriteUSProfileInt("NoEncryption", folder_.c_str(), 1), 1);
  ASSERT_EQ(ZYPHOOKRefreshRestriction(), 0);
  EXPECT_EQ(ZYPCipherFileEx(path.c_str(), &header, 0, 1), ZYPFILE_NOT_ALLOWED);
  EXPECT_EQ(read_bytes(path), original);
  ASSERT_EQ(ZYPDelUSValue("NoEncryption", folder_.c_str()), 1);
  ASSERT_EQ(ZYPHOOKRefreshRestriction(), 0);

  ASSERT_EQ(ZYPCipherFileEx(path.c_str(), &header, 0, 1), 0);
  Bytes encrypted = read_bytes(path);
  ASSERT_EQ(ZYPCIPDeleteKey(kToken, header.Key), 0);
  FileHeader stored;
  ASSERT_EQ(ZYPGetFileAttributes(path.c_str(), &stored), 0);
  EXPECT_EQ(ZYPDecipherFileEx(path.c_str(), &stored, 0, 1), ZYPFILE_UNKNOWN_KEY);
  EXPECT_EQ(read_bytes(path), encrypted);
}

TEST_F(FileCipher, AFileOver4GiBIsRefusedUntouched) {
  std::string path = folder_ + "/huge";
  int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, (off_t{1} << 32) + 1), 0);  // sparse
  ::close(fd);
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  EXPECT_EQ(encrypt(path, marsh_key()), ZYPFILE_TOO_LARGE);
  EXPECT_EQ(decrypt(path), ZYPFILE_TOO_LARGE);
  struct stat after {};
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_size, before.st_size);
  EXPECT_EQ(after.st_blocks, before.st_blocks);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_TRUE(temporary_files(folder_).empty());
}

TEST_F(FileCipher, AnOperationWaitsForTheLockOfAnotherOne) {
  uint32_t key = marsh_key();
  std::string path = file_with("locked", text("wait for me"));
  int holder = ::open(path.c_str(), O_RDONLY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  auto encrypted = std::async(std::launch::async, [&] { return encrypt(path, key); });
  EXPECT_EQ(encrypted.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  EXPECT_EQ(read_bytes(path), text("wait for me"));
  ::flock(holder, LOCK_UN);
  ::close(holder);
  EXPECT_EQ(encrypted.get(), 0);
  EXPECT_EQ(decrypt(path), 0);
  EXPECT_EQ(read_bytes(path), text("wait for me"));
}

TEST_F(FileCipher, TheProgressWindowShowsTheFileAndItsSizeInKiB) {
  std::string path = file_with("shown.txt", random_bytes(5000, 10));
  FileHeader header = header_for(marsh_key());
  ASSERT_EQ(ZYPCipherFileToEx(path.c_str(), path.c_str(), &header, 1, 1), 0);
  ASSERT_EQ(ZYPDecipherFileToEx(path.c_str(), path.c_str(), &header, 1, 1), 0);
  std::ifstream in(folder_ + "/transcript");
  std::string transcript((std::istreambuf_iterator<char>(in)), {});
  // 5000 bytes when encrypting; the body of 5064 bytes when decrypting.
  EXPECT_NE(transcript.find("shown.txt (4 Ko)"), std::string::npos) << transcript;
  std::vector<std::string> values;
  std::istringstream lines(transcript);
  for (std::string line; std::getline(lines, line);)
    if (line.find(" progress ") != std::string::npos) values.push_back(line.substr(line.rfind(' ') + 1));
  EXPECT_EQ(values, (std::vector<std::string>{"10", "75", "100", "10", "75", "100"})) << transcript;
}

// Waits until a journal record says that a file is being rewritten, or
// until `child` has ended (its exit status then in *status).
bool rewrite_started(pid_t child, int* status) {
  const std::string folder = zyp::platform::machine_dir() + "/journal";
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < give_up) {
    for (const std::string& name : files_named(folder, "")) {
      if (!name.ends_with(".jrn")) continue;
      Bytes record = read_bytes(folder + "/" + name);
      constexpr uint32_t kRewriting = 2;
      if (record.size() >= 12 && std::memcmp(record.data(), "ZYPJRNL1", 8) == 0 && word_at(record, 8) == kRewriting)
        return true;
    }
    if (::waitpid(child, status, WNOHANG) == child) return false;
    ::usleep(200);
  }
  return false;
}

// Runs `rounds` conversions into `destination` (in place when it is the
// source), alternately encrypting `plain` and decrypting `sealed`, each killed
// at a random moment (every other one while the destination is rewritten);
// after the recovery the destination holds its whole old or its whole new
// contents.
void kill_conversions(const std::string& key, const std::string& plain_source, const std::string& sealed_source,
                      const std::string& destination, const Bytes& original, const Bytes& encrypted,
                      const Bytes& old_destination, int rounds) {
  const bool in_place = destination == plain_source;
  using Clock = std::chrono::steady_clock;
  std::chrono::microseconds spans[2];
  for (int encrypting = 1; encrypting >= 0; --encrypting) {
    auto started = Clock::now();
    pid_t child = encrypting ? start_probe({"encrypt", plain_source, key, destination})
                             : start_probe({"decrypt", in_place ? plain_source : sealed_source, destination});
    ASSERT_EQ(wait_for(child), 0);
    spans[encrypting] = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started);
    ASSERT_EQ(read_bytes(destination), encrypting ? encrypted : original);
  }
  std::mt19937 random(9);
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE(round);
    const bool encrypting = round % 2 == 0;
    const Bytes& before = in_place ? (encrypting ? original : encrypted) : old_destination;
    const Bytes& after = encrypting ? encrypted : original;
    if (read_bytes(destination) != before) write_bytes(destination, before);
    std::uniform_int_distribution<int64_t> moment(0, spans[encrypting ? 1 : 0].count());
    pid_t child = encrypting ? start_probe({"encrypt", plain_source, key, destination})
                             : start_probe({"decrypt", in_place ? plain_source : sealed_source, destination});
    int status = -1;
    if (round % 4 < 2) {
      if (rewrite_started(child, &status))
        ::usleep(static_cast<useconds_t>(moment(random) % 20000));
      else if (status == -1)
        ADD_FAILURE() << "the conversion neither rewrote the file nor ended within 10 s";
    } else {
      ::usleep(static_cast<useconds_t>(moment(random)));
    }
    if (status == -1) {
      ::kill(child, SIGKILL);
      status = 0;
      wait_for(child);
    }
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the conversion ended by itself with " << status;
    ZYPRecoverFiles();
    Bytes now = read_bytes(destination);
    ASSERT_TRUE(now == before || now == after);
  }
  EXPECT_TRUE(files_named(zyp::platform::machine_dir() + "/journal", "").size() <= 2);  // "." and ".."
  // Nor any of the operations' temporary files with contents, even of one
  // killed while it erased them. (One killed between making a temporary file
  // and writing the record that names it leaves that file empty.)
  const std::string folder = destination.substr(0, destination.rfind('/'));
  std::vector<std::string> with_contents;
  for (const std::string& name : temporary_files(folder)) {
    std::string path = (zyp::platform::file_exists(folder + "/" + name) ? folder : zyp::platform::temp_dir()) + "/" + name;
    if (!read_bytes(path).empty()) with_contents.push_back(name);
  }
  EXPECT_EQ(with_contents, std::vector<std::string>{});
}

// Killed at any moment of a conversion, another process, then the recovery,
// leave the file with its whole old or its whole new contents.
TEST_F(FileCipher, AKilledConversionInPlaceLeavesTheWholeOldOrNewFileAfterRecovery) {
  const Bytes original = random_bytes((3 << 20) + 11, 8);  // multi-MiB, and quick enough under the sanitizers
  const std::string path = file_with("killed", original), key = std::to_string(marsh_key());
  ASSERT_EQ(run_probe({"encrypt", path, key}), 0);
  const Bytes encrypted = read_bytes(path);
  write_bytes(path, original);
  kill_conversions(key, path, path, path, original, encrypted, {}, 30);
}

// Into another file that exists already: its old contents or the whole result.
TEST_F(FileCipher, AKilledConversionIntoAnotherFileLeavesItsWholeOldOrNewContents) {
  const Bytes original = random_bytes((3 << 20) + 5, 11);
  const std::string plain = file_with("plain", original), sealed = file_with("sealed", original);
  const std::string key = std::to_string(marsh_key());
  ASSERT_EQ(run_probe({"encrypt", sealed, key}), 0);
  const Bytes encrypted = read_bytes(sealed);
  const Bytes old_destination = random_bytes((1 << 20) + 3, 12);
  const std::string destination = file_with("destination", old_destination);
  kill_conversions(key, plain, sealed, destination, original, encrypted, old_destination, 12);
  EXPECT_EQ(read_bytes(plain), original);
  EXPECT_EQ(read_bytes(sealed), encrypted);
}

}  // namespace
