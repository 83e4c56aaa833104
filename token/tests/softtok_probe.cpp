// A second program for the token module's cross-process tests: it loads the
// module like any PKCS #11 consumer and reports what it finds.
//   softtok_probe MODULE initialize     prints the C_Initialize result (hex)
//   softtok_probe MODULE labels PIN     logs in on slot 0 and prints the
//                                       label of every object, one a line
//   softtok_probe MODULE visit          prints the C_Initialize result and
//                                       the C_GetTokenInfo(0) result (hex)
//                                       and R/W session count, then calls
//                                       C_Finalize whatever C_Initialize
//                                       answered, as pkcs11-tool does
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "token/pkcs11.h"

namespace {

CK_FUNCTION_LIST* load(const char* path) {
  void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!module) return nullptr;
  auto get_list = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
  CK_FUNCTION_LIST* list = nullptr;
  return get_list && get_list(&list) == CKR_OK ? list : nullptr;
}

int print_labels(CK_FUNCTION_LIST* p11, std::string pin) {
  CK_SESSION_HANDLE session = 0;
  if (p11->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK) return 2;
  if (p11->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(pin.data()), pin.size()) != CKR_OK) return 3;
  CK_OBJECT_HANDLE objects[256];
  CK_ULONG count = 0;
  if (p11->C_FindObjectsInit(session, nullptr, 0) != CKR_OK ||
      p11->C_FindObjects(session, objects, 256, &count) != CKR_OK || p11->C_FindObjectsFinal(session) != CKR_OK) {
    return 4;
  }
  for (CK_ULONG i = 0; i < count; ++i) {
    char label[256] = {};
    CK_ATTRIBUTE query{CKA_LABEL, label, sizeof label - 1};
    if (p11->C_GetAttributeValue(session, objects[i], &query, 1) != CKR_OK) return 5;
    std::printf("%s\n", label);
  }
  p11->C_CloseSession(session);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 64;
  CK_FUNCTION_LIST* p11 = load(argv[1]);
  if (!p11) return 1;
  CK_RV rv = p11->C_Initialize(nullptr);
  if (std::strcmp(argv[2], "visit") == 0) {
    CK_TOKEN_INFO token{};
    CK_RV info = p11->C_GetTokenInfo(0, &token);
    std::printf("%lx %lx %lu\n", rv, info, token.ulRwSessionCount);
    p11->C_Finalize(nullptr);
    return 0;
  }
  if (std::strcmp(argv[2], "initialize") == 0) {
    std::printf("%lx\n", rv);
    if (rv == CKR_OK) p11->C_Finalize(nullptr);
    return 0;
  }
  if (rv != CKR_OK || std::strcmp(argv[2], "labels") != 0 || argc < 4) return 1;
  int result = print_labels(p11, argv[3]);
  p11->C_Finalize(nullptr);
  return result;
}
