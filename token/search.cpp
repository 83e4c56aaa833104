// The object search: one per process. C_FindObjectsInit takes a snapshot of
// the matching objects of its session; C_FindObjects hands it out from any
// session of the process.
#include <algorithm>

#include "token/calls.h"

namespace zyp::softtok {

CK_RV find_objects_init(Module& m, Session& s, const CK_ATTRIBUTE* attributes, CK_ULONG count) {
  Template criteria;
  if (CK_RV rv = read_template(attributes, count, criteria); rv != CKR_OK) return rv;
  FindState search;
  search.active = true;
  for (const auto& object : s.objects) {
    if (matches(*object, criteria)) search.results.push_back(object->handle);
  }
  m.search = std::move(search);
  return CKR_OK;
}

CK_RV find_objects(Module& m, CK_OBJECT_HANDLE* objects, CK_ULONG max_count, CK_ULONG* count) {
  if (!count || (!objects && max_count != 0)) return CKR_ARGUMENTS_BAD;
  FindState& search = m.search;
  if (!search.active) return CKR_OPERATION_NOT_INITIALIZED;
  size_t left = search.results.size() - search.cursor;
  size_t taken = std::min<size_t>(left, max_count);
  std::copy_n(search.results.begin() + static_cast<ptrdiff_t>(search.cursor), taken, objects);
  search.cursor += taken;
  *count = taken;
  return CKR_OK;
}

CK_RV find_objects_final(Module& m) {
  if (!m.search.active) return CKR_OPERATION_NOT_INITIALIZED;
  m.search = FindState{};
  return CKR_OK;
}

}  // namespace zyp::softtok
