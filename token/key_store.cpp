#include "token/key_store.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdio>

#include "platform/atomic_file.h"
#include "platform/dirs.h"
#include "platform/drives.h"
#include "platform/registry.h"
#include "token/crypto/bytes.h"
#include "token/crypto/des.h"
#include "token/crypto/object_sum.h"
#include "token/crypto/seal_key.h"
#include "token/slots.h"

// The plain text is parsed into, and built from, platform::IniDocument,
// whose own copies of the lines are ordinary strings; the buffers this file
// controls (decrypted bytes, text to seal, hexadecimal values) are wiped.
//
// Temporary plain files, and so the secure deletion of them through the file
// library, do not exist here: the module does not load the file library.
// The only temporary files are the atomic writer's, which hold a complete
// sealed store; those a killed writer left behind are removed whenever the
// store is opened or created again, so that a store sealed under an earlier
// PIN, or holding a deleted key, does not stay in the folder.

namespace zyp::softtok {
namespace {

constexpr char kStoreFileName[] = "ambrel.ksl";
constexpr char kGeneral[] = "General";
constexpr char kPinKey[] = "Pin";
constexpr char kLabelKey[] = "Label";
constexpr char kCopyrightKey[] = "Copyright";
constexpr char kCopyright[] = "Quillmarsh";
constexpr std::string_view kObjectPrefix = "_Object_";
constexpr size_t kLengthSize = 4;
constexpr unsigned kStoreFileMode = 0600;

// "~INTERNALKPUBSEQ" in hexadecimal: a store that holds these bytes in some
// value is sealed at the strongest strength the slot lists.
constexpr std::string_view kStrongMarker = "7e494e5445524e414c4b505542534551";

struct StrengthRow {
  SealStrength strength;
  CK_MECHANISM_TYPE mechanism;
};

// Strongest first: the order in which a store is tried when opened.
constexpr std::array<StrengthRow, 4> kStrengths{{
    {SealStrength::bits168, CKM_DES3_CBC},
    {SealStrength::bits112, CKM_DES2_CBC},
    {SealStrength::bits56, CKM_DES_CBC},
    {SealStrength::bits40, CKM_DES_40_CBC},
}};

std::optional<std::string> install_path() {
  platform::reg::Value value;
  if (platform::reg::query_value(platform::reg::Root::LocalMachine, "SOFTWARE\\Quillmarsh\\General", "InstallPath",
                                 value) != 0) {
    return std::nullopt;
  }
  if (value.type != platform::reg::kString && value.type != platform::reg::kExpandString) return std::nullopt;
  std::string text(value.data.begin(), value.data.end());
  while (!text.empty() && text.back() == '\0') text.pop_back();
  if (text.empty()) return std::nullopt;
  return text;
}

bool contains_without_case(std::string_view text, std::string_view needle) {
  auto it = std::search(text.begin(), text.end(), needle.begin(), needle.end(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  });
  return it != text.end();
}

SealStrength seal_strength(CK_SLOT_ID slot, std::string_view plain_text) {
  if (contains_without_case(plain_text, kStrongMarker)) {
    for (const StrengthRow& row : kStrengths) {
      if (row.strength != SealStrength::bits40 && slot_lists(slot, row.mechanism)) return row.strength;
    }
  }
  return SealStrength::bits40;
}

// The plain text of a sealed file under one key; nothing when the file's
// layout is wrong.
std::optional<SecureBytes> decrypt_sealed(std::string_view sealed, const StoreSealKey& key) {
  if (sealed.size() < kLengthSize) return std::nullopt;
  uint32_t plain_size = load_le32(reinterpret_cast<const uint8_t*>(sealed.data()));
  SecureBytes body = to_secure(sealed.data() + kLengthSize, sealed.size() - kLengthSize);
  if (body.size() % kDesBlockSize != 0 || plain_size > body.size()) return std::nullopt;
  auto cipher = DesKey::from_bytes(key.key());
  if (!cipher) return std::nullopt;
  std::array<uint8_t, kDesBlockSize> chain = key.iv;
  cipher->cbc_decrypt(body, chain);
  body.resize(plain_size);
  return body;
}

std::optional<PlainStore> open_with(std::string_view sealed, std::string_view pin, SealStrength strength) {
  auto key = derive_store_seal_key(pin, strength);
  if (!key) return std::nullopt;
  auto plain = decrypt_sealed(sealed, *key);
  if (!plain) return std::nullopt;
  PlainStore store(as_text(*plain));
  auto copyright = store.value(kGeneral, kCopyrightKey);
  if (!copyright || copyright->empty()) return std::nullopt;
  return store;
}

std::optional<std::string> seal_text(std::string_view pin, SealStrength strength, const SecureBytes& plain) {
  auto key = derive_store_seal_key(pin, strength);
  if (!key || plain.size() > 0xFFFFFFFFu) return std::nullopt;
  auto cipher = DesKey::from_bytes(key->key());
  if (!cipher) return std::nullopt;
  SecureBytes body = plain;
  body.resize((plain.size() + kDesBlockSize - 1) / kDesBlockSize * kDesBlockSize, ' ');
  std::array<uint8_t, kDesBlockSize> chain = key->iv;
  cipher->cbc_encrypt(body, chain);
  std::string sealed(kLengthSize + body.size(), '\0');
  store_le32(reinterpret_cast<uint8_t*>(sealed.data()), static_cast<uint32_t>(plain.size()));
  std::copy(body.begin(), body.end(), sealed.begin() + kLengthSize);
  return sealed;
}

std::string hex_text(const SecureBytes& value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(value.size() * 2);
  for (uint8_t byte : value) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<SecureBytes> parse_hex(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  SecureBytes value(text.size() / 2);
  for (size_t i = 0; i < value.size(); ++i) {
    int high = hex_digit(text[2 * i]);
    int low = hex_digit(text[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    value[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return value;
}

// Key names are the attribute type in signed 32-bit decimal.
std::string type_key(CK_ATTRIBUTE_TYPE type) { return std::to_string(static_cast<int32_t>(static_cast<uint32_t>(type))); }

std::optional<CK_ATTRIBUTE_TYPE> parse_type_key(std::string_view key) {
  int64_t number = 0;
  auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), number);
  if (error != std::errc() || end != key.data() + key.size()) return std::nullopt;
  if (number < INT32_MIN || number > UINT32_MAX) return std::nullopt;
  return static_cast<CK_ATTRIBUTE_TYPE>(static_cast<uint32_t>(number));
}

std::optional<Template> parse_object_section(const PlainStore& store, const std::string& section) {
  Template attributes;
  for (const PlainStore::Entry& entry : store.entries(section)) {
    auto type = parse_type_key(entry.key);
    auto value = parse_hex(entry.value);
    if (!type || !value) return std::nullopt;
    attributes.push_back({*type, std::move(*value)});
  }
  attributes.push_back({CKA_FROM_KEY_STORE, SecureBytes{1}});
  return attributes;
}

bool is_object_section(std::string_view name) {
  return name.size() >= kObjectPrefix.size() && contains_without_case(name.substr(0, kObjectPrefix.size()), kObjectPrefix);
}

bool put_object(PlainStore& store, const std::string& section, const Template& attributes) {
  if (!store.add_section(section)) return false;
  for (const Attribute& attribute : attributes) {
    if (attribute.type == CKA_FROM_KEY_STORE) continue;
    std::string text = hex_text(attribute.value);
    bool written = store.set(section, type_key(attribute.type), text);
    wipe_string(text);
    if (!written) return false;
  }
  return true;
}

// The two numbers of an object's section name: the XOR over its attributes
// of ObjectSum(type as 4 little-endian bytes) and of ObjectSum(value).
struct SectionNumbers {
  uint32_t types = 0;
  uint32_t values = 0;
};

SectionNumbers section_numbers(const Template& attributes) {
  SectionNumbers numbers;
  for (const Attribute& attribute : attributes) {
    uint8_t type[4];
    store_le32(type, static_cast<uint32_t>(attribute.type));
    numbers.types ^= object_sum(type);
    numbers.values ^= object_sum(attribute.value);
  }
  return numbers;
}

std::string format_section_name(SectionNumbers numbers) {
  char name[40];
  std::snprintf(name, sizeof name, "_Object_%08x%08x", numbers.types, numbers.values);
  return name;
}

// The sums are blind to the order of bytes and attributes, so different
// objects (labels "ab" and "ba", an object and its copy) can share a name.
// An object whose name another section already has takes the next free
// value of the second number instead; the loader takes any "_Object_"
// section, and the object remembers the name it was stored under.
std::string free_section_name(const PlainStore& store, const Template& attributes) {
  SectionNumbers numbers = section_numbers(attributes);
  std::string name = format_section_name(numbers);
  while (store.has_section(name)) {
    ++numbers.values;
    name = format_section_name(numbers);
  }
  return name;
}

std::optional<std::string> stored_pin(const PlainStore& store) { return store.value(kGeneral, kPinKey); }

}  // namespace

void StoreCredentials::present(std::span<const uint8_t> pin) {
  pin_.assign(pin.begin(), pin.end());
  unlocked_ = true;
}

std::string_view StoreCredentials::pin() const {
  std::string_view text = as_text(pin_);
  return text.substr(0, text.find('\0'));
}

std::string data_folder() {
  std::string folder = install_path().value_or(platform::machine_dir()) + "/data";
  platform::make_folders(folder);
  return folder;
}

std::optional<std::string> store_path(CK_SLOT_ID slot) {
  if (slot == kFileSlot) return data_folder() + "/" + kStoreFileName;
  if (slot != kFloppySlot) return std::nullopt;
  auto folder = platform::key_disk_folder();
  if (!folder) return std::nullopt;
  return *folder + "/" + kStoreFileName;
}

bool store_exists(CK_SLOT_ID slot) {
  auto path = store_path(slot);
  struct stat info {};
  return path && ::stat(path->c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::optional<PlainStore> open_store(CK_SLOT_ID slot, const StoreCredentials& credentials) {
  if (!credentials.unlocked()) return std::nullopt;
  auto path = store_path(slot);
  if (!path) return std::nullopt;
  platform::remove_stale_temporaries(*path);
  auto sealed = platform::read_whole_file(*path);
  if (!sealed) return std::nullopt;
  for (const StrengthRow& row : kStrengths) {
    if (!slot_lists(slot, row.mechanism)) continue;
    if (auto store = open_with(*sealed, credentials.pin(), row.strength)) return store;
  }
  return std::nullopt;
}

bool seal_store(CK_SLOT_ID slot, const StoreCredentials& credentials, const PlainStore& store) {
  if (!credentials.unlocked()) return false;
  auto path = store_path(slot);
  if (!path) return false;
  std::string text = store.text();
  SecureBytes plain = to_secure(text.data(), text.size());
  wipe_string(text);
  auto sealed = seal_text(credentials.pin(), seal_strength(slot, as_text(plain)), plain);
  return sealed && platform::write_file_atomically(*path, *sealed, kStoreFileMode);
}

bool set_store_pin(PlainStore& store, std::string_view pin) {
  if (!store.set(kGeneral, kPinKey, pin)) return false;
  auto stored = stored_pin(store);
  bool same = stored && *stored == pin;
  if (stored) wipe_string(*stored);
  return same;
}

bool store_pin_is(const PlainStore& store, std::span<const uint8_t> pin) {
  auto stored = stored_pin(store);
  if (!stored) return false;
  // The text's characters may be signed: bytes of 0x80 and above compare as
  // the bytes they are.
  bool same = std::ranges::equal(pin, *stored, {}, {}, [](char c) { return static_cast<uint8_t>(c); });
  wipe_string(*stored);
  return same;
}

bool holds_token(const PlainStore& store) {
  for (const char* key : {kPinKey, kLabelKey, kCopyrightKey}) {
    auto value = store.value(kGeneral, key);
    if (value && !value->empty()) return true;
  }
  return false;
}

CK_RV create_store(CK_SLOT_ID slot, const StoreCredentials& credentials, std::string_view label) {
  PlainStore store;
  if (!set_store_pin(store, credentials.pin())) return CKR_PIN_INVALID;
  if (!store.set(kGeneral, kLabelKey, label)) return CKR_ARGUMENTS_BAD;
  store.set(kGeneral, kCopyrightKey, kCopyright);
  if (auto path = store_path(slot)) platform::remove_stale_temporaries(*path);
  return seal_store(slot, credentials, store) ? CKR_OK : CKR_DEVICE_ERROR;
}

CK_RV write_object(CK_SLOT_ID slot, const StoreCredentials& credentials, const Template& attributes,
                   const std::string& old_section, std::string& section) {
  auto store = open_store(slot, credentials);
  if (!store) return CKR_TOKEN_NOT_RECOGNIZED;
  if (!old_section.empty()) store->erase_section(old_section);
  std::string name = free_section_name(*store, attributes);
  if (!put_object(*store, name, attributes) || !seal_store(slot, credentials, *store)) return CKR_DEVICE_ERROR;
  section = std::move(name);
  return CKR_OK;
}

CK_RV delete_object(CK_SLOT_ID slot, const StoreCredentials& credentials, const std::string& section) {
  auto store = open_store(slot, credentials);
  if (!store) return CKR_TOKEN_NOT_RECOGNIZED;
  store->erase_section(section);
  return seal_store(slot, credentials, *store) ? CKR_OK : CKR_DEVICE_ERROR;
}

std::vector<StoredObject> stored_objects(const PlainStore& store) {
  std::vector<StoredObject> objects;
  for (const std::string& section : store.section_names()) {
    if (!is_object_section(section)) continue;
    if (auto attributes = parse_object_section(store, section)) objects.push_back({section, std::move(*attributes)});
  }
  return objects;
}

}  // namespace zyp::softtok
