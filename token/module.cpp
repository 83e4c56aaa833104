#include "token/module.h"

#include <algorithm>
#include <new>

#include "token/slots.h"

namespace zyp::softtok {
namespace {

constexpr uint64_t kLastHandle = 0xFFFFFFFFu;

Module* g_module = nullptr;

std::optional<uint64_t> next_handle(uint64_t& last) {
  if (last >= kLastHandle) return std::nullopt;
  return ++last;
}

}  // namespace

void CipherOperation::end() {
  active = false;
  des.reset();
  cs.reset();
  wipe(chain.data(), chain.size());
}

Object* Session::find_object(CK_OBJECT_HANDLE handle) {
  auto it = std::find_if(objects.begin(), objects.end(), [handle](const auto& o) { return o->handle == handle; });
  return it == objects.end() ? nullptr : it->get();
}

Session* Module::find_session(CK_SESSION_HANDLE handle) {
  auto it = sessions.find(handle);
  return it == sessions.end() ? nullptr : it->second.get();
}

std::optional<CK_SESSION_HANDLE> Module::new_session_handle() { return next_handle(last_session_handle); }

std::optional<CK_OBJECT_HANDLE> Module::new_object_handle() { return next_handle(last_object_handle); }

Module* module() { return g_module; }

void load_module() {
  if (!g_module) g_module = new (std::nothrow) Module;
}

void unload_module() {
  if (!g_module) return;
  for (const auto& [handle, session] : g_module->sessions) release_session(session->slot, session->read_write());
  delete g_module;
  g_module = nullptr;
}

}  // namespace zyp::softtok
