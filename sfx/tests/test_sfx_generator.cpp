// The generator with stand-ins for the rest of the suite: the layout of what
// it writes, the recovery field of each key size, files the suite had
// encrypted, and the password dialog driven by a script.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "sfx/archive_format.h"
#include "sfx/extractor.h"
#include "sfx/generator.h"
#include "platform/atomic_file.h"
#include "sfx/tests/sfx_test_support.h"
#include "testsupport/test_env.h"
#include "testsupport/ui_script.h"
#include "zyp/zyptools.h"

namespace zyp::sfx {
namespace {

using testing::Bytes;
using testing::random_bytes;
using testing::read_bytes;
using testing::write_bytes;

constexpr char kPassword[] = "marsh parcel 2026";
constexpr uint32_t kToken = 0;
constexpr uint32_t kAlgo = 0x133;

Bytes text_bytes(size_t size) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>("marsh and reeds\n"[i % 16]);
  return bytes;
}

struct Message {
  uint32_t text;
  std::string first;
};

class Generator : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = zyp::testing::make_temp_folder("generator");
    stub_ = folder_ + "/stub";
    write_bytes(stub_, stub_bytes_);
    ::chmod(stub_.c_str(), 0755);
    services_.file_attributes = [](const char*, FileHeader*) { return 44; };
    services_.recovery_field = [this](uint32_t token, uint32_t algo, std::span<const uint8_t> key,
                                      std::span<uint8_t> field) {
      recovery_calls_.push_back({token, algo, static_cast<uint32_t>(key.size())});
      std::fill(field.begin(), field.end(), uint8_t{0xA5});
      return 0;
    };
    services_.message = [this](uint32_t text, uint32_t, const char* first, const char*) {
      messages_.push_back({text, first});
      return 1;
    };
    services_.address = "12 Reed Lane, Marshfield";
    services_.notice = "(c) Quillmarsh";
  }

  std::string file_with(const std::string& name, const Bytes& contents) {
    std::string path = folder_ + "/" + name;
    write_bytes(path, contents);
    return path;
  }

  void generate(uint32_t key_bits, const std::vector<std::string>& paths, const std::string& output) {
    GeneratorContext context;
    std::strcpy(context.password.data(), kPassword);
    context.output = output;
    context.key_bits = key_bits;
    context.token = kToken;
    context.algo = kAlgo;
    context.paths = paths;
    write_archive(context, services_, stub_);
    EXPECT_EQ(context.password[0], '\0') << "the password is wiped";
  }

  struct RecoveryCall {
    uint32_t token, algo, key_size;
  };

  std::string folder_;
  std::string stub_;
  const Bytes stub_bytes_ = {'#', '!', 's', 't', 'u', 'b', '\n', 0, 1, 2};
  Services services_;
  std::vector<RecoveryCall> recovery_calls_;
  std::vector<Message> messages_;
};

TEST_F(Generator, WritesTheLayoutByteForByte) {
  struct File {
    const char* name;
    Bytes contents;
    std::vector<uint32_t> flags;  // per block
  };
  const std::vector<File> files = {
      {"empty", {}, {}},
      {"one", {'x'}, {kFlagCompressed}},
      {"exact", text_bytes(kBlockSize), {kFlagCompressed}},
      {"over", text_bytes(kBlockSize + 1), {kFlagCompressed, kFlagCompressed}},
      {"noise", random_bytes(2 * kBlockSize, 3), {kFlagStored, kFlagStored}},
      {"after-noise", text_bytes(100), {kFlagCompressed}},
  };
  std::vector<std::string> paths;
  for (const File& file : files) paths.push_back(file_with(file.name, file.contents));
  std::string output = folder_ + "/out";
  generate(56, paths, output);
  ASSERT_TRUE(messages_.empty()) << messages_[0].text;

  Bytes archive = read_bytes(output);
  ASSERT_GT(archive.size(), stub_bytes_.size() + kClearPartSize);
  EXPECT_EQ(Bytes(archive.begin(), archive.begin() + stub_bytes_.size()), stub_bytes_);
  const uint8_t* clear = archive.data() + stub_bytes_.size();
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(clear), kStartMarker.size()), kStartMarker);
  EXPECT_EQ(get_le32(clear + 37), 56u);
  EXPECT_EQ(get_le32(clear + 41), kTextFieldSize);
  EXPECT_STREQ(reinterpret_cast<const char*>(clear + 45), "12 Reed Lane, Marshfield");
  EXPECT_EQ(clear[45 + kTextFieldSize - 1], 0);
  EXPECT_EQ(get_le32(clear + 45 + kTextFieldSize), kTextFieldSize);
  EXPECT_STREQ(reinterpret_cast<const char*>(clear + 49 + kTextFieldSize), "(c) Quillmarsh");

  Bytes region(archive.begin() + static_cast<long>(stub_bytes_.size() + kClearPartSize), archive.end());
  ASSERT_EQ(region.size() % 8, 0u);
  ArchiveKey key;
  ASSERT_TRUE(derive_archive_key(kPassword, 56, key));
  ASSERT_TRUE(decrypt_region(key, region));
  ASSERT_EQ(std::string_view(reinterpret_cast<const char*>(region.data()), 35), kClearMarker);
  EXPECT_EQ(Bytes(region.begin() + 35, region.begin() + 35 + 128), Bytes(128, 0xA5));
  size_t at = 35 + 128;
  EXPECT_EQ(get_le32(&region[at]), files.size());
  at += 4;
  for (const File& file : files) {
    SCOPED_TRACE(file.name);
    ASSERT_STREQ(reinterpret_cast<const char*>(&region[at]), file.name);
    at += std::strlen(file.name) + 1;
    EXPECT_EQ(get_le32(&region[at]), file.contents.size());
    ASSERT_EQ(get_le32(&region[at + 4]), file.flags.size());
    at += 8;
    Bytes contents;
    for (uint32_t flag : file.flags) {
      EXPECT_EQ(get_le32(&region[at]), flag);
      uint32_t length = get_le32(&region[at + 4]);
      at += 8;
      ASSERT_LE(at + length, region.size());
      if (flag == kFlagStored) {
        contents.insert(contents.end(), region.begin() + static_cast<long>(at),
                        region.begin() + static_cast<long>(at + length));
      } else {
        Bytes block(kBlockSize);
        uLongf size = block.size();
        ASSERT_EQ(uncompress(block.data(), &size, &region[at], length), Z_OK);
        contents.insert(contents.end(), block.begin(), block.begin() + static_cast<long>(size));
      }
      at += length;
    }
    EXPECT_EQ(contents, file.contents);
  }
  EXPECT_LT(region.size() - at, 8u) << "only the padding follows";
  EXPECT_EQ(Bytes(region.begin() + static_cast<long>(at), region.end()), Bytes(region.size() - at, 0));
}

TEST_F(Generator, EachKeySizeGetsItsRecoveryFieldAndOpensWithThePassword) {
  std::string path = file_with("letter", text_bytes(5000));
  struct Case {
    uint32_t bits;
    uint32_t key_size;  // asked of the provider; 0: not asked, the field stays zero
  };
  for (const Case c : {Case{40, 0}, Case{56, 8}, Case{112, 16}, Case{168, 24}}) {
    SCOPED_TRACE(c.bits);
    recovery_calls_.clear();
    std::string output = folder_ + "/out" + std::to_string(c.bits);
    generate(c.bits, {path}, output);
    ASSERT_TRUE(messages_.empty());
    if (c.key_size == 0) {
      EXPECT_TRUE(recovery_calls_.empty());
    } else {
      ASSERT_EQ(recovery_calls_.size(), 1u);
      EXPECT_EQ(recovery_calls_[0].token, kToken);
      EXPECT_EQ(recovery_calls_[0].algo, kAlgo);
      EXPECT_EQ(recovery_calls_[0].key_size, c.key_size);
    }
    std::string error;
    auto archive = ArchiveFile::open(output, error);
    ASSERT_TRUE(archive) << error;
    EXPECT_EQ(archive->clear_part().key_bits, c.bits);
    ASSERT_TRUE(archive->unlock(kPassword, error)) << error;
    ASSERT_EQ(archive->entries().size(), 1u);
    EXPECT_EQ(archive->entries()[0].name, "letter");
  }
}

TEST_F(Generator, FailuresAreShownAndEndTheGeneration) {
  std::string path = file_with("letter", text_bytes(10));
  std::string large = folder_ + "/large";
  {
    std::ofstream create(large);
  }
  ASSERT_EQ(::truncate(large.c_str(), 0x100000000LL), 0);  // sparse: 4 GiB, one byte too many

  services_.recovery_field = [](uint32_t, uint32_t, std::span<const uint8_t>, std::span<uint8_t>) { return 8; };
  generate(168, {path}, folder_ + "/no-field");
  generate(40, {path, folder_ + "/missing"}, folder_ + "/missing-file");
  generate(40, {large}, folder_ + "/too-large");
  generate(0, {path}, folder_ + "/no-key-size");
  generate(40, {path}, folder_ + "/no-such-folder/out");
  std::string other_letter = zyp::testing::make_temp_folder("other") + "/letter";
  write_bytes(other_letter, text_bytes(3));
  generate(40, {path, other_letter}, folder_ + "/same-name");
  generate(40, {file_with("line\nbreak", text_bytes(3))}, folder_ + "/control-character");
  ASSERT_EQ(messages_.size(), 7u);
  EXPECT_EQ(messages_[0].text, kNoRecoveryField);
  EXPECT_EQ(messages_[1].text, kCannotOpenFile);
  EXPECT_EQ(messages_[1].first, folder_ + "/missing");
  EXPECT_EQ(messages_[2].text, kFileTooLarge);
  EXPECT_EQ(messages_[3].text, kCannotEncrypt);
  EXPECT_EQ(messages_[4].text, kCannotCopyStub);
  EXPECT_EQ(messages_[5].text, kNameTwice);
  EXPECT_EQ(messages_[5].first, "letter");
  EXPECT_EQ(messages_[6].text, kNameNotStorable);
  for (const char* never : {"/same-name", "/control-character"})
    EXPECT_FALSE(zyp::platform::read_whole_file(folder_ + never)) << "refused before writing";
}

// A file the suite had encrypted is decrypted for the reading, stored in
// clear, and encrypted again afterwards, also when the archive fails later.
TEST_F(Generator, SuiteEncryptedFilesAreStoredInClearAndEncryptedAgain) {
  const Bytes clear = text_bytes(3000);
  std::string sealed = file_with("sealed", Bytes(64, 0xEE));
  std::string plain = file_with("plain", text_bytes(10));
  std::vector<std::string> calls;
  services_.file_attributes = [&](const char* path, FileHeader* header) {
    if (std::string(path) != sealed) return 44;
    header->Key = 0x1234ABCD;
    return 0;
  };
  services_.decipher_file = [&](const char* path, FileHeader* header) {
    calls.push_back("decipher " + std::to_string(header->Key));
    write_bytes(path, clear);
    return 0;
  };
  services_.encipher_file = [&](const char* path, FileHeader* header) {
    calls.push_back("encipher " + std::to_string(header->Key));
    write_bytes(path, Bytes(64, 0xEE));
    return 0;
  };
  std::string output = folder_ + "/out";
  generate(40, {plain, sealed}, output);
  ASSERT_TRUE(messages_.empty());
  const std::string key = std::to_string(0x1234ABCD);
  EXPECT_EQ(calls, (std::vector<std::string>{"decipher " + key, "encipher " + key}));
  EXPECT_EQ(read_bytes(sealed), Bytes(64, 0xEE));

  std::string error;
  auto archive = ArchiveFile::open(output, error);
  ASSERT_TRUE(archive && archive->unlock(kPassword, error)) << error;
  std::string target = zyp::testing::make_temp_folder("clear");
  ASSERT_TRUE(archive->extract(target, false, error)) << error;
  EXPECT_EQ(read_bytes(target + "/sealed"), clear);

  // The output cannot be written after the decryption: encrypted again all the same.
  calls.clear();
  services_.decipher_file = [&](const char* path, FileHeader*) {
    calls.push_back("decipher");
    ::chmod(path, 0);
    ::unlink(path);
    return 0;
  };
  generate(40, {sealed}, output);
  EXPECT_EQ(calls, (std::vector<std::string>{"decipher", "encipher " + key}));
  ASSERT_FALSE(messages_.empty());
  EXPECT_EQ(messages_.back().text, kCannotOpenFile);
}

// ---- The password dialog --------------------------------------------------

ZYPCIPListEntry entry(uint32_t value, const char* name) {
  ZYPCIPListEntry e{};
  e.value = value;
  std::strncpy(e.name, name, sizeof e.name - 1);
  return e;
}

auto list_of(std::vector<ZYPCIPListEntry> entries) {
  return [entries](ZYPCIPListEntry* list, uint32_t* count) {
    if (*count < entries.size()) return (*count = static_cast<uint32_t>(entries.size())), 1;
    std::copy(entries.begin(), entries.end(), list);
    *count = static_cast<uint32_t>(entries.size());
    return 0;
  };
}

class PasswordDialog : public zyp::testing::UiScriptTest {
 protected:
  void SetUp() override {
    UiScriptTest::SetUp();
    resources_ = ZYPLoadResource("ZYPSFX");
    ASSERT_NE(resources_, nullptr);
    dialog_ = platform::language_module_of(resources_)->dialog(kPasswordDialog);
    ASSERT_NE(dialog_, nullptr);
    services_.enum_tokens = list_of({entry(kToken, "Cache token")});
    use_algorithms({entry(0x80000103, "DES 40 bits")});
    services_.text = [this](uint32_t id) { return module_text(resources_, id); };
  }
  void TearDown() override { ZYPFreeResource(resources_); }

  void use_algorithms(std::vector<ZYPCIPListEntry> algorithms) {
    auto list = list_of(std::move(algorithms));
    services_.enum_algorithms = [list](uint32_t, ZYPCIPListEntry* l, uint32_t* n) { return list(l, n); };
  }
  int run() { return run_password_dialog(context_, services_, *dialog_); }

  ZYPResourceModule* resources_ = nullptr;
  const platform::DialogTemplate* dialog_ = nullptr;
  Services services_;
  GeneratorContext context_;
};

TEST_F(PasswordDialog, DifferentEntriesAreEmptiedWithAMessage) {
  script(
      "dialog 129 set 1000 \"first password\"\n"
      "dialog 129 set 1001 \"other password\"\n"
      "dialog 129 click 1\n"
      "dialog 129 set 1000 \"same password\"\n"
      "dialog 129 set 1001 \"same password\"\n"
      "dialog 129 click 1\n");
  ASSERT_EQ(run(), 1);
  EXPECT_STREQ(context_.password.data(), "same password");
  EXPECT_EQ(context_.key_bits, 40u);
  EXPECT_EQ(context_.algo, 0x80000103u);
  EXPECT_TRUE(transcript_has("dialog 129 text 1005 \"" + module_text(resources_, kPasswordsDiffer) + "\""));
  EXPECT_TRUE(transcript_has("dialog 129 text 1000 \"\""));
  EXPECT_TRUE(transcript_has("dialog 129 text 1001 \"\""));
  EXPECT_TRUE(transcript_has("dialog 129 enable 1006 0")) << "one algorithm: nothing to choose";
}

TEST_F(PasswordDialog, LengthsBetweenTenAndAHundredCharacters) {
  // Nine characters leave OK disabled: the click cannot be made and the
  // dialog ends as cancelled.
  script("dialog 129 set 1000 \"123456789\"\ndialog 129 set 1001 \"123456789\"\ndialog 129 click 1\n");
  EXPECT_EQ(run(), 2);
  EXPECT_EQ(context_.password[0], '\0');

  script("dialog 129 set 1000 \"1234567890\"\ndialog 129 set 1001 \"1234567890\"\ndialog 129 click 1\n");
  ASSERT_EQ(run(), 1);
  EXPECT_STREQ(context_.password.data(), "1234567890");

  // Typing stops at 100 characters.
  std::string typed(120, 'p');
  script("dialog 129 set 1000 \"" + typed + "\"\ndialog 129 set 1001 \"" + typed + "\"\ndialog 129 click 1\n");
  ASSERT_EQ(run(), 1);
  EXPECT_EQ(std::string(context_.password.data()), std::string(100, 'p'));
}

TEST_F(PasswordDialog, CancelledWithoutExactlyOneTokenOrWithoutAlgorithms) {
  services_.enum_tokens = list_of({entry(0, "Cache token"), entry(1, "Floppy token")});
  script("dialog 129 set 1000 \"1234567890\"\n");
  EXPECT_EQ(run(), 2);
  services_.enum_tokens = list_of({});
  EXPECT_EQ(run(), 2);
  services_.enum_tokens = list_of({entry(kToken, "Cache token")});
  use_algorithms({});
  EXPECT_EQ(run(), 2);
}

TEST_F(PasswordDialog, TheChosenAlgorithmGivesTheKeyBits) {
  use_algorithms({entry(0x80000103, "DES 40 bits"), entry(0x133, "Triple DES (168 bits)"),
                  entry(0x80000104, "Triple DES (112 bits)")});
  script(
      "dialog 129 select 1006 1\n"
      "dialog 129 set 1000 \"0123456789abc\"\n"
      "dialog 129 set 1001 \"0123456789abc\"\n"
      "dialog 129 click 1\n");
  ASSERT_EQ(run(), 1);
  EXPECT_EQ(context_.algo, 0x133u);
  EXPECT_EQ(context_.key_bits, 168u);
  EXPECT_TRUE(transcript_has(
      "dialog 129 items 1006 \"DES 40 bits\" \"Triple DES (168 bits)\" \"Triple DES (112 bits)\""));
}

}  // namespace
}  // namespace zyp::sfx
