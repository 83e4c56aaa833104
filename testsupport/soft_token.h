#pragma once
// Sets up a slot of the build's software token straight through the token
// module, before any server or provider has loaded it: the token is
// initialised with `pin`, so that the first login asks only for the PIN.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "testsupport/test_env.h"
#include "token/pkcs11.h"

namespace zyp::testing {

inline void initialise_soft_token(CK_SLOT_ID slot, const char* pin) {
  void* module = ::dlopen((build_folder() + "/lib/libsofttok.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_TRUE(module) << ::dlerror();
  auto get_list = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(module, "C_GetFunctionList"));
  CK_FUNCTION_LIST* p11 = nullptr;
  ASSERT_EQ(get_list(&p11), CKR_OK);
  ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
  CK_UTF8CHAR label[32];
  std::memset(label, ' ', sizeof label);
  std::memcpy(label, "Password token", 14);
  EXPECT_EQ(p11->C_InitToken(slot, reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(pin)), std::strlen(pin), label),
            CKR_OK);
  p11->C_Finalize(nullptr);
  ::dlclose(module);
}

}  // namespace zyp::testing
