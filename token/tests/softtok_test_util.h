#pragma once
// Test helpers: the module is loaded with dlopen and reached through
// C_GetFunctionList, as a PKCS #11 consumer does.
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/dirs.h"
#include "token/pkcs11.h"

namespace softtok_test {

using Bytes = std::vector<uint8_t>;

inline std::string build_folder() {
  char path[PATH_MAX] = {};
  ssize_t size = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string exe(path, size > 0 ? static_cast<size_t>(size) : 0);
  return exe.substr(0, exe.rfind('/')) + "/..";
}

inline std::string module_path() { return build_folder() + "/lib/libsofttok.so"; }
inline std::string probe_path() { return build_folder() + "/tests/softtok_probe"; }
inline std::string store_file() { return zyp::platform::machine_dir() + "/data/ambrel.ksl"; }
inline Bytes read_bytes(const std::string& path) {
  auto text = zyp::platform::read_whole_file(path);
  return text ? Bytes(text->begin(), text->end()) : Bytes{};
}

// What the probe program (softtok_probe.cpp), a second process that loads
// the module, prints; its exit status when that is not 0.
inline std::string run_probe(const std::string& arguments) {
  std::string command = probe_path() + " " + module_path() + " " + arguments;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return "popen failed";
  std::string output;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe)) output += buffer;
  int status = pclose(pipe);
  return status == 0 ? output : "exit status " + std::to_string(status);
}

inline Bytes text_bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

// A template that owns its values. CK_ULONG values are given in the
// caller's form, sizeof(CK_ULONG) bytes.
class Template {
 public:
  Template& ulong(CK_ATTRIBUTE_TYPE type, CK_ULONG value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return add(type, std::move(bytes));
  }
  Template& flag(CK_ATTRIBUTE_TYPE type, bool value) { return add(type, Bytes{static_cast<uint8_t>(value)}); }
  Template& text(CK_ATTRIBUTE_TYPE type, std::string_view value) { return add(type, text_bytes(value)); }
  Template& add(CK_ATTRIBUTE_TYPE type, Bytes value) {
    Bytes& stored = values_.emplace_back(std::move(value));
    attributes_.push_back({type, stored.empty() ? nullptr : stored.data(), stored.size()});
    return *this;
  }
  CK_ATTRIBUTE* data() { return attributes_.empty() ? nullptr : attributes_.data(); }
  CK_ULONG size() const { return attributes_.size(); }

 private:
  std::list<Bytes> values_;
  std::vector<CK_ATTRIBUTE> attributes_;
};

inline Template secret_key(CK_KEY_TYPE type, Bytes value) {
  Template t;
  t.ulong(CKA_CLASS, CKO_SECRET_KEY).ulong(CKA_KEY_TYPE, type).add(CKA_VALUE, std::move(value));
  return t;
}

inline CK_ULONG as_ulong(const Bytes& value) {
  CK_ULONG number = 0;
  if (value.size() == sizeof number) std::memcpy(&number, value.data(), sizeof number);
  return number;
}

constexpr const char* kPin = "4711";

// Loads the module and initialises it for each test.
class TokenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(module_path().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    auto get_list = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_, "C_GetFunctionList"));
    ASSERT_NE(get_list, nullptr);
    ASSERT_EQ(get_list(&p11), CKR_OK);
    ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
  }

  void TearDown() override {
    if (p11) p11->C_Finalize(nullptr);
    if (handle_) dlclose(handle_);
  }

  CK_RV init_token(std::string_view pin = kPin, CK_SLOT_ID slot = 0) {
    CK_UTF8CHAR label[32];
    std::memset(label, ' ', sizeof label);
    std::memcpy(label, "Test token", 10);
    return p11->C_InitToken(slot, reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(pin.data())), pin.size(), label);
  }

  CK_RV open(CK_SESSION_HANDLE& session, bool read_write = true, CK_SLOT_ID slot = 0) {
    CK_FLAGS flags = CKF_SERIAL_SESSION | (read_write ? CKF_RW_SESSION : 0);
    return p11->C_OpenSession(slot, flags, nullptr, nullptr, &session);
  }

  CK_RV login(CK_SESSION_HANDLE session, std::string_view pin = kPin, CK_USER_TYPE user = CKU_USER) {
    return p11->C_Login(session, user, reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(pin.data())), pin.size());
  }

  // An initialised token and a logged-in read/write session on slot 0.
  CK_SESSION_HANDLE logged_in_session() {
    CK_SESSION_HANDLE session = 0;
    EXPECT_EQ(init_token(), CKR_OK);
    EXPECT_EQ(open(session), CKR_OK);
    EXPECT_EQ(login(session), CKR_OK);
    return session;
  }

  CK_OBJECT_HANDLE create(CK_SESSION_HANDLE session, Template t) {
    CK_OBJECT_HANDLE object = 0;
    EXPECT_EQ(p11->C_CreateObject(session, t.data(), t.size(), &object), CKR_OK);
    return object;
  }

  CK_RV get(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, Bytes& value) {
    CK_ATTRIBUTE query{type, nullptr, 0};
    CK_RV rv = p11->C_GetAttributeValue(session, object, &query, 1);
    if (rv != CKR_OK) return rv;
    value.assign(query.ulValueLen, 0);
    query.pValue = value.data();
    return p11->C_GetAttributeValue(session, object, &query, 1);
  }

  Bytes get(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    Bytes value;
    EXPECT_EQ(get(session, object, type, value), CKR_OK) << "attribute 0x" << std::hex << type;
    return value;
  }

  std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE session, Template t) {
    std::vector<CK_OBJECT_HANDLE> found(64);
    CK_ULONG count = 0;
    EXPECT_EQ(p11->C_FindObjectsInit(session, t.data(), t.size()), CKR_OK);
    EXPECT_EQ(p11->C_FindObjects(session, found.data(), found.size(), &count), CKR_OK);
    EXPECT_EQ(p11->C_FindObjectsFinal(session), CKR_OK);
    found.resize(count);
    return found;
  }

  CK_FUNCTION_LIST* p11 = nullptr;

 private:
  void* handle_ = nullptr;
};

}  // namespace softtok_test
