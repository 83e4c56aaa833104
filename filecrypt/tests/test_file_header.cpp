// The encrypted file's header record: filling it, and reading, labelling and
// judging the header of a file on disk.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/atomic_file.h"
#include "testsupport/test_env.h"
#include "zyp/zypfile.h"
#include "zyp/zypprof.h"
#include "zyp/zypsess.h"

namespace {

constexpr uint32_t kKey = 0x7ED4B9DE;
constexpr uint32_t kAlgo = 0x80000103;

std::string bytes_of(const void* data, size_t size) { return std::string(static_cast<const char*>(data), size); }

std::string write_file(const std::string& name, const std::string& contents) {
  static const std::string folder = zyp::testing::make_temp_folder("headers");
  std::string path = folder + "/" + name;
  EXPECT_TRUE(zyp::platform::write_file_atomically(path, contents));
  return path;
}

FileHeader filled(uint32_t options, const char* user) {
  FileHeader header;
  std::memset(&header, 0xEE, sizeof header);
  EXPECT_EQ(ZYPFillHeader(&header, kAlgo, kKey, options, user), 0);
  return header;
}

// A header, the plain length and a body of 16 bytes.
std::string encrypted_file(const FileHeader& header) {
  return bytes_of(&header, sizeof header) + std::string("\x06\0\0\0", 4) + std::string(16, '\x5A');
}

// The earlier layout: 96 header bytes (the current first fields, Version
// 0x00010000), the plain length at 96 and the body from 100.
std::string earlier_file() {
  FileHeader header = filled(0, "old");
  header.HeaderSize = 96;
  header.Version = ZYPFILE_VERSION_EARLIER;
  return bytes_of(&header, ZYPFILE_EARLIER_HEADER_SIZE) + std::string("\x03\0\0\0", 4) + std::string(8, '\x11');
}

// The first 68 bytes of the published vector "hello\n" (key 7ED4B9DE, DES 40
// bits, options 2, user "demo"): every field before the stamp.
const uint8_t kVectorStart[] = {
    0x70, 0x01, 0x00, 0x00, 0x5a, 0x59, 0x50, 0x00, 0x4e, 0x89, 0x03, 0xb7, 0xc2, 0x20, 0x97, 0xf2,
    0xe1, 0x37, 0x0e, 0x5d, 0xf2, 0xd4, 0x0e, 0x03, 0xfe, 0x00, 0x00, 0x00, 0x3f, 0x3a, 0x5c, 0x00,
    0x53, 0x6f, 0x66, 0x74, 0x30, 0x00, 0x01, 0x00, 0xde, 0xb9, 0xd4, 0x7e, 0x03, 0x01, 0x00, 0x80,
    0x02, 0x00, 0x00, 0x00, 0x64, 0x65, 0x6d, 0x6f, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00};

TEST(FillHeader, WritesTheVectorsFieldsZeroesTheDerivedOnesAndKeepsTheLastThreeBytes) {
  FileHeader header = filled(ZYPFILE_OPTION_CHECK_VALUE, "demo");
  EXPECT_EQ(bytes_of(&header, sizeof kVectorStart), bytes_of(kVectorStart, sizeof kVectorStart));
  EXPECT_EQ(bytes_of(header.Stamp, sizeof header.Stamp), bytes_of("QuillmarshFolder", 17));
  const std::string zeros(128, '\0');
  EXPECT_EQ(bytes_of(header.CheckValue, 24), zeros.substr(0, 24));
  EXPECT_EQ(bytes_of(header.RecoveryField0, 128), zeros);
  EXPECT_EQ(bytes_of(header.RecoveryField1, 128), zeros);
  EXPECT_EQ(bytes_of(header.Reserved, 3), "\xEE\xEE\xEE");
}

TEST(FillHeader, CutsTheLabelTo15CharactersAndAZero) {
  struct Case {
    const char* user;
    const char* stored;
  } cases[] = {
      {"fifteen chars!!", "fifteen chars!!"},
      {"sixteen chars!!!", "sixteen chars!!"},
      {"twenty characters!!!", "twenty characte"},
      {"", ""},
      {nullptr, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.user ? c.user : "(null)");
    FileHeader header = filled(0, c.user);
    std::string expected(16, '\0');
    std::memcpy(expected.data(), c.stored, std::strlen(c.stored));
    EXPECT_EQ(bytes_of(header.User, sizeof header.User), expected);
  }
}

TEST(FillHeader, TakesTheRecordsOwnLabelAgainAndRefusesANullRecord) {
  FileHeader header = filled(0x10, "own label");
  EXPECT_EQ(ZYPFillHeader(&header, header.Algo, header.Key, header.Options, header.User), 0);
  EXPECT_STREQ(header.User, "own label");
  EXPECT_EQ(ZYPFillHeader(nullptr, kAlgo, kKey, 0, "x"), ZYPFILE_NULL_ARGUMENT);
}

using HeaderReader = int (*)(const char*, FileHeader*);

TEST(ReadHeader, TellsEncryptedFilesOfBothLayoutsFromEverythingElse) {
  FileHeader current = filled(ZYPFILE_OPTION_CHECK_VALUE, "demo");
  FileHeader wrong_version = current;
  wrong_version.Version = 0x00010031;
  FileHeader wrong_size = current;
  wrong_size.HeaderSize = 372;
  std::string current_file = encrypted_file(current);
  struct Case {
    const char* what;
    std::string path;
    int result;
  } cases[] = {
      {"current layout", write_file("current", current_file), 0},
      {"earlier layout", write_file("earlier", earlier_file()), 0},
      {"plain file", write_file("plain", std::string(1000, 'p')), ZYPFILE_NOT_ENCRYPTED},
      {"empty file", write_file("empty", ""), ZYPFILE_NOT_ENCRYPTED},
      {"truncated header", write_file("truncated", current_file.substr(0, 200)), ZYPFILE_NOT_ENCRYPTED},
      {"header without the length", write_file("no-length", current_file.substr(0, 370)), ZYPFILE_NOT_ENCRYPTED},
      {"earlier header without the length", write_file("old-short", earlier_file().substr(0, 98)),
       ZYPFILE_NOT_ENCRYPTED},
      {"unknown version", write_file("version", encrypted_file(wrong_version)), ZYPFILE_NOT_ENCRYPTED},
      {"wrong header size", write_file("size", encrypted_file(wrong_size)), ZYPFILE_NOT_ENCRYPTED},
      {"a folder", zyp::testing::make_temp_folder("a-folder"), ZYPFILE_NOT_ENCRYPTED},
      {"missing path", zyp::testing::test_root() + "/no/such/file", ZYPFILE_NOT_FOUND},
  };
  for (HeaderReader reader : {&ZYPGetFileAttributes, &ZYPGetOpenFileAttributes}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      FileHeader header;
      std::memset(&header, 0x77, sizeof header);
      ASSERT_EQ(reader(c.path.c_str(), &header), c.result);
      if (c.result != 0) continue;
      if (std::string(c.what) == "current layout") {
        EXPECT_EQ(bytes_of(&header, sizeof header), bytes_of(&current, sizeof current));
      } else {
        EXPECT_EQ(header.Version, ZYPFILE_VERSION_EARLIER);
        EXPECT_EQ(header.Key, kKey);
        EXPECT_EQ(header.Algo, kAlgo);
        EXPECT_EQ(bytes_of(header.RecoveryField1, 128), std::string(128, '\0'));
      }
    }
  }
}

TEST(ReadHeader, NullArgumentsGive80) {
  std::string path = write_file("null-args", encrypted_file(filled(0, "x")));
  FileHeader header;
  for (HeaderReader reader : {&ZYPGetFileAttributes, &ZYPGetOpenFileAttributes}) {
    EXPECT_EQ(reader(nullptr, &header), ZYPFILE_NULL_ARGUMENT);
    EXPECT_EQ(reader(path.c_str(), nullptr), ZYPFILE_NULL_ARGUMENT);
  }
  EXPECT_EQ(ZYPSetFileAttributes(nullptr, &header), ZYPFILE_NULL_ARGUMENT);
  EXPECT_EQ(ZYPSetFileAttributes(path.c_str(), nullptr), ZYPFILE_NULL_ARGUMENT);
}

TEST(ReadHeader, WithoutTheHookDeviceEveryHeaderCallGives70) {
  std::string path = write_file("no-device", encrypted_file(filled(ZYPFILE_OPTION_RECOVERY0, "x")));
  ASSERT_EQ(ZYPWriteProfileDWord("General", "HookDevice", 0), 1);
  FileHeader header{};
  uint32_t algo = 0, length = 128;
  uint8_t field[128];
  EXPECT_EQ(ZYPGetFileAttributes(path.c_str(), &header), ZYPFILE_NO_HOOK);
  EXPECT_EQ(ZYPGetOpenFileAttributes(path.c_str(), &header), ZYPFILE_NO_HOOK);
  EXPECT_EQ(ZYPSetFileAttributes(path.c_str(), &header), ZYPFILE_NO_HOOK);
  EXPECT_EQ(ZYPGetRecoveryKey(path.c_str(), 0, &algo, field, &length), ZYPFILE_NO_HOOK);
  ASSERT_EQ(ZYPWriteProfileDWord("General", "HookDevice", 1), 1);
  EXPECT_EQ(ZYPGetFileAttributes(path.c_str(), &header), 0);
}

TEST(SetFileAttributes, ChangesNothingOnDiskAndReportsTheReadErrorOr70) {
  std::string contents = encrypted_file(filled(0, "before"));
  std::string path = write_file("labelled", contents);
  FileHeader relabel = filled(0, "after");
  EXPECT_EQ(ZYPSetFileAttributes(path.c_str(), &relabel), ZYPFILE_NO_HOOK);
  EXPECT_EQ(zyp::platform::read_whole_file(path), contents);
  EXPECT_EQ(ZYPSetFileAttributes(write_file("plain-label", "plain").c_str(), &relabel), ZYPFILE_NOT_ENCRYPTED);
  EXPECT_EQ(ZYPSetFileAttributes((zyp::testing::test_root() + "/missing").c_str(), &relabel), ZYPFILE_NOT_FOUND);
}

TEST(GetRecoveryKey, YieldsThePresentFieldsOnly) {
  FileHeader both = filled(ZYPFILE_OPTION_RECOVERY0 | ZYPFILE_OPTION_RECOVERY1, "both");
  std::memset(both.RecoveryField0, 0xA0, 128);
  std::memset(both.RecoveryField1, 0xA1, 128);
  FileHeader first_only = filled(ZYPFILE_OPTION_RECOVERY0, "first");
  std::memset(first_only.RecoveryField0, 0xB0, 128);
  std::memset(first_only.RecoveryField1, 0xB1, 128);  // present but not flagged
  std::string both_path = write_file("both", encrypted_file(both));
  std::string first_path = write_file("first", encrypted_file(first_only));
  struct Case {
    const std::string& path;
    uint32_t index;
    uint32_t length;
    int result;
    uint8_t fill;
  } cases[] = {
      {both_path, 0, 128, 0, 0xA0},
      {both_path, 1, 200, 0, 0xA1},
      {both_path, 2, 128, ZYPFILE_NOT_PRESENT, 0},
      {both_path, 0, 127, ZYPFILE_BUFFER_TOO_SMALL, 0},
      {first_path, 0, 128, 0, 0xB0},
      {first_path, 1, 128, ZYPFILE_NOT_PRESENT, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.index) + " of " + c.path);
    uint32_t algo = 0, length = c.length;
    std::vector<uint8_t> buffer(200, 0);
    ASSERT_EQ(ZYPGetRecoveryKey(c.path.c_str(), c.index, &algo, buffer.data(), &length), c.result);
    EXPECT_EQ(length, c.length);
    if (c.result != 0) continue;
    EXPECT_EQ(algo, kAlgo);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 128), std::string(128, static_cast<char>(c.fill)));
    EXPECT_EQ(buffer[128], 0);
  }
}

TEST(GetRecoveryKey, PassesTheReadErrorOnAndRefusesNullArguments) {
  uint32_t algo = 0, length = 128;
  uint8_t field[128];
  std::string plain = write_file("plain-recovery", "not encrypted");
  EXPECT_EQ(ZYPGetRecoveryKey(plain.c_str(), 0, &algo, field, &length), ZYPFILE_NOT_ENCRYPTED);
  EXPECT_EQ(ZYPGetRecoveryKey(nullptr, 0, &algo, field, &length), ZYPFILE_NULL_ARGUMENT);
  EXPECT_EQ(ZYPGetRecoveryKey(plain.c_str(), 0, nullptr, field, &length), ZYPFILE_NULL_ARGUMENT);
  EXPECT_EQ(ZYPGetRecoveryKey(plain.c_str(), 0, &algo, nullptr, &length), ZYPFILE_NULL_ARGUMENT);
  EXPECT_EQ(ZYPGetRecoveryKey(plain.c_str(), 0, &algo, field, nullptr), ZYPFILE_NULL_ARGUMENT);
}

// Without a server the provider cannot name the key: a session alone is not
// enough to call the header valid.
TEST(AskValidHeader, NeedsASessionAndAKeyTheProviderKnows) {
  FileHeader header = filled(0, "x");
  EXPECT_EQ(ZYPAskValidHeader(&header), ZYPFILE_NO_SESSION);
  ASSERT_EQ(ZYPSetSessionState(-1, 0), 0);
  EXPECT_EQ(ZYPAskValidHeader(&header), ZYPFILE_UNKNOWN_KEY);
  ASSERT_EQ(ZYPSetSessionState(-1, 1), 0);
  EXPECT_EQ(ZYPAskValidHeader(nullptr), ZYPFILE_NULL_ARGUMENT);
}

}  // namespace
