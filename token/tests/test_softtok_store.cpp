// The key store file: its sealed layout, what a refused PIN or a broken file
// leaves behind, token objects across sessions and processes, their section
// names, and the key-disk store.
#include <cstdio>
#include <filesystem>
#include <optional>
#include <set>

#include "platform/ini.h"
#include "platform/registry.h"
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

class Store : public TokenTest {};

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
