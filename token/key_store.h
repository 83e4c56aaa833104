#pragma once
// The key store "ambrel.ksl": the token's PIN, label and token objects in the
// profile-file text of platform/ini.h, sealed at rest under the store sealing
// key derived from the PIN.
//
// Sealed file: L (4 bytes little-endian, the length of the plain text), then
// the plain text padded with blanks to a multiple of 8 bytes, encrypted in
// CBC under StoreSealKey with its initialisation vector.
//
// The plain text exists only in this process's memory: a store is decrypted
// into a PlainStore, changed there, and written back sealed in one atomic
// replacement of the file (temporary file in the same folder, fsync, rename).
// So no plain copy and no temporary plain file ever reaches a disk, a store
// that fails to open is never written over, and the key-disk store is read
// and written on the key disk itself without touching the installed one.
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/ini.h"
#include "token/attributes.h"
#include "token/pkcs11.h"
#include "token/secure_memory.h"

namespace zyp::softtok {

// The PIN last presented to the key store in this process, and whether it
// may open the store.
class StoreCredentials {
 public:
  void present(std::span<const uint8_t> pin);
  void lock() { unlocked_ = false; }
  bool unlocked() const { return unlocked_; }
  // The PIN's bytes up to the first zero byte: what the sealing key is
  // derived from.
  std::string_view pin() const;

 private:
  SecureBytes pin_;
  bool unlocked_ = false;
};

using PlainStore = platform::IniDocument;

// The data folder: the machine setting General/InstallPath (default the
// machine folder) + "/data", created when missing.
std::string data_folder();
// Slot 0: the data folder's store; slot 1: the key disk's; nothing for
// slot 2 or a key disk that is not configured.
std::optional<std::string> store_path(CK_SLOT_ID slot);
bool store_exists(CK_SLOT_ID slot);

// Decrypts the slot's store with the credentials, trying the strengths the
// slot's mechanism table allows, strongest first; a strength succeeds when
// "General"/"Copyright" is not empty. Nothing when the credentials are
// locked, the file is missing or malformed, or no strength succeeds.
// First removes the temporary files that killed writers of the store left
// behind (each a whole store sealed under the PIN of its time).
std::optional<PlainStore> open_store(CK_SLOT_ID slot, const StoreCredentials& credentials);
// Seals the text and replaces the slot's file. False when locked or the file
// cannot be written (the old file then stays as it was).
bool seal_store(CK_SLOT_ID slot, const StoreCredentials& credentials, const PlainStore& store);

// A new store holding only "General": "Pin", "Label" and "Copyright".
// CKR_PIN_INVALID for a PIN that would not read back the same from the text,
// CKR_ARGUMENTS_BAD for such a label, CKR_DEVICE_ERROR when the file cannot
// be written.
CK_RV create_store(CK_SLOT_ID slot, const StoreCredentials& credentials, std::string_view label);
// Sets "General"/"Pin" in an open store; false when the PIN would not read
// back the same.
bool set_store_pin(PlainStore& store, std::string_view pin);
// Whether the store's "General"/"Pin", as read through the profile
// functions, holds exactly these bytes.
bool store_pin_is(const PlainStore& store, std::span<const uint8_t> pin);
// Non-empty "Pin", "Label" or "Copyright": the store holds a token.
bool holds_token(const PlainStore& store);

// Writes the object's attributes (all but CKA_FROM_KEY_STORE) under its
// section name, removing `old_section` first when given; `section` receives
// the name. The name is "_Object_%08x%08x" of the XOR over the attributes of
// ObjectSum(type as 4 little-endian bytes) and of ObjectSum(value), in the
// held form; when another object's section already has that name, the
// second number counts on to the first free name. No other section is
// touched. CKR_TOKEN_NOT_RECOGNIZED when the store cannot be opened,
// CKR_DEVICE_ERROR when it cannot be written.
CK_RV write_object(CK_SLOT_ID slot, const StoreCredentials& credentials, const Template& attributes,
                   const std::string& old_section, std::string& section);
CK_RV delete_object(CK_SLOT_ID slot, const StoreCredentials& credentials, const std::string& section);

struct StoredObject {
  std::string section;
  Template attributes;  // in file order, then CKA_FROM_KEY_STORE = 0x01
};
// Every "_Object_" section (prefix compared without case) that parses; a
// section with a malformed key or value is skipped.
std::vector<StoredObject> stored_objects(const PlainStore& store);

}  // namespace zyp::softtok
