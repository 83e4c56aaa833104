// Objects in sessions, and the token objects' copies in the key store.
#include <set>

#include "token/calls.h"
#include "token/key_store.h"
#include "token/slots.h"

namespace zyp::softtok {
namespace {

bool stores_objects(CK_SLOT_ID slot) { return slot == kFileSlot || slot == kFloppySlot; }

// Writes a token object of slot 0 or 1 to the key store under the name of
// its current values, replacing its previous section.
CK_RV store_object(Module& m, const Session& s, Object& object) {
  if (!stores_objects(s.slot) || !object.is_token_object()) return CKR_OK;
  const std::string previous = object.section;
  return write_object(s.slot, m.credentials, object.attributes, previous, object.section);
}

CK_RV unstore_object(Module& m, const Session& s, const Object& object) {
  if (!stores_objects(s.slot) || object.section.empty()) return CKR_OK;
  return delete_object(s.slot, m.credentials, object.section);
}

// Gives the object a handle, writes it to the key store when asked and puts
// it at the head of the session's list. The handle is taken first, so
// running out of handles leaves no store entry behind.
CK_RV place(Module& m, Session& s, Object object, bool store, CK_OBJECT_HANDLE* handle) {
  auto next = m.new_object_handle();
  if (!next) return CKR_DEVICE_MEMORY;
  if (store) {
    if (CK_RV rv = store_object(m, s, object); rv != CKR_OK) return rv;
  }
  object.handle = *next;
  s.objects.push_front(std::make_unique<Object>(std::move(object)));
  if (handle) *handle = *next;
  return CKR_OK;
}

CK_RV creation_access(const Session& s, const Template& attributes) {
  return check_access(Access::create_copy_destroy, s.state, is_true(attributes, CKA_TOKEN),
                      is_true(attributes, CKA_PRIVATE));
}

void remove_from_session(Session& s, CK_OBJECT_HANDLE handle) {
  s.objects.remove_if([handle](const auto& o) { return o->handle == handle; });
}

}  // namespace

CK_RV create_object(Module& m, Session& s, Template attributes, bool store, CK_OBJECT_HANDLE* handle) {
  if (!valid_slot(s.slot)) return CKR_GENERAL_ERROR;
  Object object;
  if (CK_RV rv = build_object(std::move(attributes), store, false, object); rv != CKR_OK) return rv;
  return place(m, s, std::move(object), store, handle);
}

CK_RV create_checked_object(Module& m, Session& s, Template attributes, CK_OBJECT_HANDLE* handle) {
  if (CK_RV rv = creation_access(s, attributes); rv != CKR_OK) return rv;
  return create_object(m, s, std::move(attributes), true, handle);
}

CK_RV create_object_call(Module& m, Session& s, const CK_ATTRIBUTE* attributes, CK_ULONG count,
                         CK_OBJECT_HANDLE* handle) {
  if (!handle) return CKR_ARGUMENTS_BAD;
  Template given;
  if (CK_RV rv = read_template(attributes, count, given); rv != CKR_OK) return rv;
  return create_checked_object(m, s, std::move(given), handle);
}

CK_RV copy_object(Module& m, Session& s, CK_OBJECT_HANDLE original, const CK_ATTRIBUTE* attributes, CK_ULONG count,
                  CK_OBJECT_HANDLE* handle) {
  if (!handle) return CKR_ARGUMENTS_BAD;
  Template changes;
  if (CK_RV rv = read_template(attributes, count, changes); rv != CKR_OK) return rv;
  const Object* source = s.find_object(original);
  if (!source) return CKR_OBJECT_HANDLE_INVALID;
  if (CK_RV rv = creation_access(s, source->attributes); rv != CKR_OK) return rv;
  // The copy is laid out, changed and checked in memory, so that a refused
  // template leaves neither an object nor a store entry behind.
  Object copy;
  if (CK_RV rv = build_object(source->attributes, true, false, copy); rv != CKR_OK) return rv;
  if (!changes.empty()) {
    if (CK_RV rv = change_attributes(copy, changes); rv != CKR_OK) return rv;
  }
  if (CK_RV rv = creation_access(s, copy.attributes); rv != CKR_OK) return rv;
  return place(m, s, std::move(copy), true, handle);
}

CK_RV destroy_object(Module& m, Session& s, CK_OBJECT_HANDLE handle) {
  const Object* object = s.find_object(handle);
  if (!object) return CKR_OBJECT_HANDLE_INVALID;
  if (CK_RV rv = creation_access(s, object->attributes); rv != CKR_OK) return rv;
  if (object->is_token_object()) {
    if (CK_RV rv = unstore_object(m, s, *object); rv != CKR_OK) return rv;
  }
  remove_from_session(s, handle);
  return CKR_OK;
}

CK_RV get_object_size(Session& s, CK_OBJECT_HANDLE handle, CK_ULONG* size) {
  if (!size) return CKR_ARGUMENTS_BAD;
  const Object* object = s.find_object(handle);
  if (!object) return CKR_OBJECT_HANDLE_INVALID;
  *size = object_size(*object);
  return CKR_OK;
}

CK_RV get_attribute_value(Session& s, CK_OBJECT_HANDLE handle, CK_ATTRIBUTE* attributes, CK_ULONG count) {
  if (!attributes && count != 0) return CKR_ARGUMENTS_BAD;
  const Object* object = s.find_object(handle);
  if (!object) return CKR_OBJECT_HANDLE_INVALID;
  return read_attributes(*object, attributes, count);
}

CK_RV set_attribute_value(Module& m, Session& s, CK_OBJECT_HANDLE handle, const CK_ATTRIBUTE* attributes,
                          CK_ULONG count) {
  Template changes;
  if (CK_RV rv = read_template(attributes, count, changes); rv != CKR_OK) return rv;
  Object* object = s.find_object(handle);
  if (!object) return CKR_OBJECT_HANDLE_INVALID;
  bool token_object = object->is_token_object() || is_true(changes, CKA_TOKEN);
  if (CK_RV rv = check_access(Access::set_attributes, s.state, token_object, false); rv != CKR_OK) return rv;
  // Changed on a copy, so that the object stays as it was when the key
  // store cannot take the change.
  Object changed = *object;
  if (CK_RV rv = change_attributes(changed, changes); rv != CKR_OK) return rv;
  CK_RV stored = changed.is_token_object() ? store_object(m, s, changed) : unstore_object(m, s, changed);
  if (stored != CKR_OK) return CKR_DEVICE_ERROR;
  if (!changed.is_token_object()) changed.section.clear();
  *object = std::move(changed);
  return CKR_OK;
}

void load_stored_objects(Module& m, Session& s, const PlainStore& store) {
  std::set<std::string> loaded;
  for (const auto& object : s.objects) {
    if (!object->section.empty()) loaded.insert(object->section);
  }
  for (StoredObject& stored : stored_objects(store)) {
    if (loaded.count(stored.section)) continue;
    Object object;
    if (build_object(std::move(stored.attributes), false, true, object) != CKR_OK) continue;
    object.section = stored.section;
    if (place(m, s, std::move(object), false, nullptr) != CKR_OK) return;
  }
}

}  // namespace zyp::softtok
