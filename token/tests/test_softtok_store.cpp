// The key store file: its sealed layout, what a refused PIN or a broken file
// leaves behind, token objects across sessions and processes, their section
// names, and the key-disk store.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "platform/ini.h"
#include "platform/registry.h"
#include "platform/tests/child_process.h"
#include "testsupport/test_env.h"
#include "token/crypto/bytes.h"
#include "token/crypto/des.h"
#include "token/crypto/object_sum.h"
#include "token/crypto/seal_key.h"
#include "token/tests/softtok_test_util.h"

namespace {

using namespace softtok_test;
using zyp::platform::IniDocument;

// The plain text of a sealed store, opened at the 40-bit strength the
// slots' mechanism tables allow.
std::optional<std::string> unseal(const std::string& path, std::string_view pin) {
  Bytes sealed = read_bytes(path);
  if (sealed.size() < 4 || (sealed.size() - 4) % 8 != 0) return std::nullopt;
  auto key = zyp::softtok::derive_store_seal_key(pin, zyp::softtok::SealStrength::bits40);
  auto des = zyp::softtok::DesKey::from_bytes(key->key());
  std::array<uint8_t, 8> chain = key->iv;
  Bytes body(sealed.begin() + 4, sealed.end());
  des->cbc_decrypt(body, chain);
  uint32_t length = zyp::softtok::load_le32(sealed.data());
  if (length > body.size()) return std::nullopt;
  return std::string(body.begin(), body.begin() + length);
}

std::vector<std::string> object_sections(const std::string& plain) {
  std::vector<std::string> sections;
  for (const std::string& name : IniDocument(plain).section_names()) {
    if (name.rfind("_Object_", 0) == 0) sections.push_back(name);
  }
  return sections;
}

std::set<std::string> folder_entries(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

// Each section of the store's plain text with its lines, by name.
std::map<std::string, std::string> section_texts(const std::string& plain) {
  std::map<std::string, std::string> texts;
  IniDocument document(plain);
  for (const std::string& name : document.section_names()) {
    for (const auto& entry : document.entries(name)) texts[name] += entry.key + "=" + entry.value + "\n";
  }
  return texts;
}

std::vector<std::string> sorted_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// A token data object; the section name's sums do not see the order of the
// label's bytes.
Template data_object(std::string_view label) {
  Template t;
  t.ulong(CKA_CLASS, CKO_DATA).flag(CKA_TOKEN, true).text(CKA_LABEL, label).text(CKA_VALUE, "the same value");
  return t;
}

class Store : public TokenTest {
 protected:
  // Closes the session and logs in on a new one, which loads the token
  // objects from the store afresh.
  CK_SESSION_HANDLE login_again(CK_SESSION_HANDLE session) {
    EXPECT_EQ(p11->C_CloseSession(session), CKR_OK);
    CK_SESSION_HANDLE fresh = 0;
    EXPECT_EQ(open(fresh), CKR_OK);
    EXPECT_EQ(login(fresh), CKR_OK);
    return fresh;
  }

  std::vector<std::string> sorted_labels(CK_SESSION_HANDLE session) {
    std::vector<std::string> labels;
    for (CK_OBJECT_HANDLE object : find(session, Template{})) {
      Bytes label = get(session, object, CKA_LABEL);
      labels.emplace_back(label.begin(), label.end());
    }
    std::sort(labels.begin(), labels.end());
    return labels;
  }

  std::map<std::string, std::string> stored_sections() {
    auto plain = unseal(store_file(), kPin);
    EXPECT_TRUE(plain);
    return plain ? section_texts(*plain) : std::map<std::string, std::string>{};
  }

  Bytes encrypt_block(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) {
    Bytes iv(8, 0xA5), plain{'s', 'e', 'n', 't', 'e', 'n', 'c', 'e'}, out(64);
    CK_MECHANISM mechanism{CKM_DES_40_CBC, iv.data(), iv.size()};
    CK_ULONG length = out.size();
    EXPECT_EQ(p11->C_EncryptInit(session, &mechanism, key), CKR_OK);
    EXPECT_EQ(p11->C_Encrypt(session, plain.data(), plain.size(), out.data(), &length), CKR_OK);
    out.resize(std::min<size_t>(length, out.size()));
    return out;
  }
};

TEST_F(Store, InitTokenWritesTheSealedLayout) {
  ASSERT_EQ(init_token(), CKR_OK);
  Bytes sealed = read_bytes(store_file());
  ASSERT_GE(sealed.size(), 4u);
  uint32_t length = zyp::softtok::load_le32(sealed.data());
  EXPECT_EQ(sealed.size(), 4 + (length + 7) / 8 * 8);
  auto plain = unseal(store_file(), kPin);
  ASSERT_TRUE(plain);
  EXPECT_EQ(*plain, "[General]\r\nPin=4711\r\nLabel=Test token" + std::string(22, ' ') +
                        "\r\nCopyright=Quillmarsh\r\n");
  EXPECT_EQ(std::string(sealed.begin(), sealed.end()).find("Quillmarsh"), std::string::npos);
  EXPECT_EQ(folder_entries(zyp::platform::machine_dir() + "/data"), std::set<std::string>{"ambrel.ksl"});
}

TEST_F(Store, PinIsStoredAsItsBytes) {
  const std::string pin = "p\xC3\xA4sswort";  // "pässwort" in UTF-8
  ASSERT_EQ(init_token(pin), CKR_OK);
  const std::string rest = "\r\nLabel=Test token" + std::string(22, ' ') + "\r\nCopyright=Quillmarsh\r\n";
  EXPECT_EQ(unseal(store_file(), pin), "[General]\r\nPin=" + pin + rest);
  CK_SESSION_HANDLE session = 0;
  ASSERT_EQ(open(session), CKR_OK);
  ASSERT_EQ(login(session, pin), CKR_OK);
  std::string old_pin = pin, new_pin = "0815";
  ASSERT_EQ(p11->C_SetPIN(session, reinterpret_cast<CK_UTF8CHAR*>(old_pin.data()), old_pin.size(),
                          reinterpret_cast<CK_UTF8CHAR*>(new_pin.data()), new_pin.size()),
            CKR_OK);
  EXPECT_EQ(unseal(store_file(), new_pin), "[General]\r\nPin=0815" + rest);
}

TEST_F(Store, RefusedPinAndBrokenStoreLeaveTheFileAsItWas) {
  CK_SESSION_HANDLE session = logged_in_session();
  const std::string folder = zyp::platform::machine_dir() + "/data";
  Bytes sealed = read_bytes(store_file());
  ASSERT_EQ(p11->C_Logout(session), CKR_OK);
  EXPECT_EQ(login(session, "0815"), CKR_PIN_INCORRECT);
  EXPECT_EQ(read_bytes(store_file()), sealed);
  EXPECT_EQ(folder_entries(folder), std::set<std::string>{"ambrel.ksl"});
  // The refused PIN has locked the store for this process.
  Template token_object;
  token_object.ulong(CKA_CLASS, CKO_DATA).flag(CKA_TOKEN, true);
  CK_OBJECT_HANDLE object = 0;
  EXPECT_EQ(p11->C_CreateObject(session, token_object.data(), token_object.size(), &object),
            CKR_TOKEN_NOT_RECOGNIZED);
  EXPECT_EQ(read_bytes(store_file()), sealed);

  const Bytes broken[] = {Bytes{1, 2, 3}, Bytes(4 + 13, 0x41), Bytes{0xFF, 0xFF, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}};
  for (const Bytes& bytes : broken) {
    ASSERT_TRUE(zyp::platform::write_file_atomically(store_file(), std::string(bytes.begin(), bytes.end())));
    EXPECT_EQ(login(session), CKR_PIN_INCORRECT);
    EXPECT_EQ(read_bytes(store_file()), bytes);
    EXPECT_EQ(folder_entries(folder), std::set<std::string>{"ambrel.ksl"});
  }
}

TEST_F(Store, TokenObjectsSurviveLogoutCloseAndANewProcess) {
  CK_SESSION_HANDLE session = logged_in_session();
  Template kept, gone;
  kept.ulong(CKA_CLASS, CKO_DATA).flag(CKA_TOKEN, true).text(CKA_LABEL, "kept");
  gone.ulong(CKA_CLASS, CKO_DATA).text(CKA_LABEL, "gone");
  CK_OBJECT_HANDLE stored = create(session, kept);
  create(session, gone);
  EXPECT_EQ(get(session, stored, CKA_FROM_KEY_STORE), Bytes{0});

  ASSERT_EQ(p11->C_Logout(session), CKR_OK);
  ASSERT_EQ(login(session), CKR_OK);  // loads nothing twice
  Template by_label;
  by_label.text(CKA_LABEL, "kept");
  EXPECT_EQ(find(session, by_label).size(), 1u);
  ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
  ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
  EXPECT_EQ(run_probe("labels 4711"), "kept\n");
  EXPECT_EQ(run_probe("labels 4712"), "exit status " + std::to_string(3 << 8));

  ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
  ASSERT_EQ(open(session), CKR_OK);
  ASSERT_EQ(login(session), CKR_OK);
  auto found = find(session, by_label);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(get(session, found[0], CKA_FROM_KEY_STORE), Bytes{1});
  EXPECT_EQ(get(session, found[0], CKA_CLASS), Bytes({0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(Store, SecondProcessCannotInitialiseWhileThisOneHas) {
  EXPECT_EQ(run_probe("initialize"), "191\n");
  ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
  EXPECT_EQ(run_probe("initialize"), "0\n");
  ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
}

// The section name the store format defines for a secret DES key made from
// class, key type, an empty label and an 8-byte value, over its 23 layout
// slots in the held form (CK_ULONG values in 4 little-endian bytes).
std::string expected_des_key_section(const Bytes& value) {
  auto ulong32 = [](uint32_t v) { return Bytes{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; };
  const Bytes f{0}, t{1};
  const std::vector<std::pair<uint32_t, Bytes>> attributes = {
      {CKA_CLASS, ulong32(CKO_SECRET_KEY)}, {CKA_TOKEN, t},         {CKA_PRIVATE, f},
      {CKA_MODIFIABLE, t},                  {CKA_LABEL, {}},        {CKA_FROM_KEY_STORE, f},
      {CKA_KEY_TYPE, ulong32(CKK_DES)},     {CKA_ID, {0}},          {CKA_START_DATE, Bytes(8, 0)},
      {CKA_END_DATE, Bytes(8, 0)},          {CKA_DERIVE, f},        {CKA_LOCAL, f},
      {CKA_SENSITIVE, f},                   {CKA_ENCRYPT, t},       {CKA_DECRYPT, t},
      {CKA_SIGN, t},                        {CKA_VERIFY, t},        {CKA_WRAP, t},
      {CKA_UNWRAP, t},                      {CKA_EXTRACTABLE, t},   {CKA_NEVER_EXTRACTABLE, f},
      {CKA_ALWAYS_SENSITIVE, f},            {CKA_VALUE, value},
  };
  uint32_t types = 0, values = 0;
  for (const auto& [type, bytes] : attributes) {
    types ^= zyp::softtok::object_sum(ulong32(type));
    values ^= zyp::softtok::object_sum(bytes);
  }
  char name[40];
  std::snprintf(name, sizeof name, "_Object_%08x%08x", types, values);
  return name;
}

TEST_F(Store, TokenObjectSectionsFollowTheObject) {
  CK_SESSION_HANDLE session = logged_in_session();
  const Bytes value{0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
  Template key = secret_key(CKK_DES, value);
  key.flag(CKA_TOKEN, true).add(CKA_LABEL, {});
  CK_OBJECT_HANDLE object = create(session, key);

  auto plain = unseal(store_file(), kPin);
  ASSERT_TRUE(plain);
  auto sections = object_sections(*plain);
  ASSERT_EQ(sections.size(), 1u);
  EXPECT_EQ(sections[0], expected_des_key_section(value));
  IniDocument document(*plain);
  EXPECT_EQ(document.value(sections[0], "0"), "04000000");
  EXPECT_EQ(document.value(sections[0], "256"), "13000000");
  EXPECT_EQ(document.value(sections[0], "17"), "1032547698badcfe");
  EXPECT_EQ(document.value(sections[0], "3"), "");
  EXPECT_FALSE(document.value(sections[0], "-2147483647"));
  EXPECT_EQ(document.key_names(sections[0]).size(), 22u);

  // A new label gives a new name; the old section goes. The strong-strength
  // marker changes nothing while the slot lists no stronger cipher.
  Template label;
  label.text(CKA_LABEL, "~INTERNALKPUBSEQ");
  ASSERT_EQ(p11->C_SetAttributeValue(session, object, label.data(), label.size()), CKR_OK);
  plain = unseal(store_file(), kPin);
  ASSERT_TRUE(plain);
  auto renamed = object_sections(*plain);
  ASSERT_EQ(renamed.size(), 1u);
  EXPECT_NE(renamed[0], sections[0]);
  EXPECT_EQ(IniDocument(*plain).value(renamed[0], "3"), "7e494e5445524e414c4b505542534551");

  ASSERT_EQ(p11->C_DestroyObject(session, object), CKR_OK);
  plain = unseal(store_file(), kPin);
  ASSERT_TRUE(plain);
  EXPECT_TRUE(object_sections(*plain).empty());
}

TEST_F(Store, ObjectsWhoseSectionNamesCollideAreAllKept) {
  CK_SESSION_HANDLE session = logged_in_session();
  create(session, data_object("ab"));
  CK_OBJECT_HANDLE ba = create(session, data_object("ba"));
  CK_OBJECT_HANDLE original = create(session, data_object("original"));
  CK_OBJECT_HANDLE copy = 0;
  ASSERT_EQ(p11->C_CopyObject(session, original, nullptr, 0, &copy), CKR_OK);
  EXPECT_EQ(stored_sections().size(), 5u);  // General and four objects
  ASSERT_EQ(p11->C_DestroyObject(session, copy), CKR_OK);

  // Renaming an object onto a taken name, and changing an object stored
  // under a counted-on name, each rewrite only the object's own section.
  CK_OBJECT_HANDLE renamed = create(session, data_object("cd"));
  auto before = stored_sections();
  Template taken_label, new_label;
  taken_label.text(CKA_LABEL, "ab");
  new_label.text(CKA_LABEL, "xy");
  ASSERT_EQ(p11->C_SetAttributeValue(session, renamed, taken_label.data(), taken_label.size()), CKR_OK);
  ASSERT_EQ(p11->C_SetAttributeValue(session, ba, new_label.data(), new_label.size()), CKR_OK);
  auto after = stored_sections();
  ASSERT_EQ(after.size(), before.size());
  std::vector<std::string> changed;
  for (const auto& [name, text] : before) {
    if (!after.count(name) || after[name] != text) changed.push_back(name);
  }
  EXPECT_EQ(changed.size(), 2u) << "only the two changed objects' sections may differ";

  session = login_again(session);
  EXPECT_EQ(sorted_labels(session), (std::vector<std::string>{"ab", "ab", "original", "xy"}));
}

TEST_F(Store, ObjectsWithPermutedLabelsAllReloadInAnotherProcess) {
  CK_SESSION_HANDLE session = logged_in_session();
  std::vector<std::string> labels;
  for (int i = 0; i < 120; ++i) {
    char label[16];
    std::snprintf(label, sizeof label, "obj%03d", i);
    labels.push_back(label);
    create(session, data_object(label));
  }
  ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
  ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
  std::string listed = run_probe("labels 4711");
  ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
  EXPECT_EQ(sorted_lines(listed), labels);
}

// The provider's answer to a key made twice from the same sentence: the new
// object is created, found to duplicate a key, and destroyed.
TEST_F(Store, DestroyingADuplicateKeyKeepsTheOriginal) {
  CK_SESSION_HANDLE session = logged_in_session();
  auto work_key = [] {
    Template key = secret_key(CKK_DES_40, Bytes{0x3C, 0x91, 0x07, 0xE4, 0x5A});
    key.flag(CKA_TOKEN, true).text(CKA_LABEL, "work");
    return key;
  };
  CK_OBJECT_HANDLE original = create(session, work_key());
  Bytes sealed_with_original = encrypt_block(session, original);
  CK_OBJECT_HANDLE duplicate = create(session, work_key());
  ASSERT_EQ(p11->C_DestroyObject(session, duplicate), CKR_OK);

  session = login_again(session);
  Template by_label;
  by_label.text(CKA_LABEL, "work");
  auto found = find(session, by_label);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(encrypt_block(session, found[0]), sealed_with_original);
}

TEST_F(Store, StaleTemporariesOfTheStoreGoWhenItIsOpened) {
  const std::string folder = zyp::platform::machine_dir() + "/data";
  ASSERT_EQ(init_token("1111"), CKR_OK);
  Bytes earlier = read_bytes(store_file());
  ASSERT_EQ(init_token(), CKR_OK);
  // What a writer killed before its rename leaves: a whole store sealed
  // under the earlier PIN. Files that are no temporaries of the store stay.
  const std::string stale = store_file() + ".k3Xq9Z";
  const std::set<std::string> kept = {"ambrel.ksl", "ambrel.ksl.bak", "other.ksl.k3Xq9Z"};
  ASSERT_TRUE(zyp::platform::write_file_atomically(stale, std::string(earlier.begin(), earlier.end())));
  for (const std::string& name : kept) {
    if (name != "ambrel.ksl") {
      ASSERT_TRUE(zyp::platform::write_file_atomically(folder + "/" + name, "x"));
    }
  }
  CK_SESSION_HANDLE session = 0;
  ASSERT_EQ(open(session), CKR_OK);
  ASSERT_EQ(login(session), CKR_OK);
  EXPECT_EQ(folder_entries(folder), kept);

  ASSERT_TRUE(zyp::platform::write_file_atomically(stale, std::string(earlier.begin(), earlier.end())));
  ASSERT_EQ(init_token(), CKR_OK);
  EXPECT_EQ(folder_entries(folder), kept);
  for (const std::string& name : kept) {
    if (name != "ambrel.ksl") std::filesystem::remove(folder + "/" + name);
  }
}

std::vector<std::string> store_temporaries(const std::string& folder) {
  std::vector<std::string> found;
  for (const std::string& name : folder_entries(folder)) {
    if (name.size() == std::string("ambrel.ksl.XXXXXX").size() && name.rfind("ambrel.ksl.", 0) == 0) {
      found.push_back(name);
    }
  }
  return found;
}

TEST_F(Store, TheTemporaryOfAProcessKilledWhileWritingTheStoreGoesAtTheNextLogin) {
  const std::string folder = zyp::platform::machine_dir() + "/data";
  ASSERT_EQ(init_token(), CKR_OK);
  // A forked process writes the store again and again until it is killed;
  // the kill is repeated until it has hit a write before its rename.
  std::vector<std::string> left;
  for (int attempt = 0; attempt < 50 && left.empty(); ++attempt) {
    zyp::testing::ChildProcess writer([this](zyp::testing::ChildProcess& self) {
      self.tell_parent();
      for (;;) init_token();
      return 0;
    });
    ASSERT_EQ(writer.hear_from_child(), 'r');
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (store_temporaries(folder).empty() && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::yield();
    }
    writer.kill();
    left = store_temporaries(folder);
  }
  ASSERT_EQ(left.size(), 1u);
  CK_SESSION_HANDLE session = 0;
  ASSERT_EQ(open(session), CKR_OK);
  ASSERT_EQ(login(session), CKR_OK);
  EXPECT_TRUE(store_temporaries(folder).empty());
}

TEST_F(Store, KeyDiskStoreLeavesTheInstalledStoreAlone) {
  EXPECT_EQ(init_token("2222", 1), CKR_TOKEN_NOT_PRESENT);
  std::string disk = zyp::testing::make_temp_folder("keydisk");
  ASSERT_EQ(zyp::platform::reg::set_string(zyp::platform::reg::Root::LocalMachine, "SOFTWARE\\Quillmarsh\\Drives",
                                           "A", disk),
            0u);
  ASSERT_EQ(init_token(), CKR_OK);
  Bytes installed = read_bytes(store_file());
  ASSERT_EQ(init_token("2222", 1), CKR_OK);
  auto plain = unseal(disk + "/ambrel.ksl", "2222");
  ASSERT_TRUE(plain);
  EXPECT_EQ(IniDocument(*plain).value("General", "Copyright"), "Quillmarsh");
  EXPECT_EQ(read_bytes(store_file()), installed);
  EXPECT_EQ(folder_entries(zyp::platform::machine_dir() + "/data"), std::set<std::string>{"ambrel.ksl"});
  EXPECT_EQ(folder_entries(disk), std::set<std::string>{"ambrel.ksl"});
}

TEST_F(Store, DataFolderFollowsTheInstallPath) {
  std::filesystem::remove(store_file());
  std::string install = zyp::testing::make_temp_folder("install");
  ASSERT_EQ(zyp::platform::reg::set_string(zyp::platform::reg::Root::LocalMachine, "SOFTWARE\\Quillmarsh\\General",
                                           "InstallPath", install),
            0u);
  ASSERT_EQ(init_token(), CKR_OK);
  EXPECT_TRUE(unseal(install + "/data/ambrel.ksl", kPin));
  EXPECT_FALSE(std::filesystem::exists(store_file()));
}

}  // namespace
