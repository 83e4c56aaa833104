// Throughput of the token module through its PKCS #11 interface next to
// OpenSSL on the same 64 MiB of data in the same run:
//   - DES-CBC through C_Encrypt (CKM_DES_40_CBC with a full DES key, the
//     cipher mechanism the slots list) against OpenSSL's DES-CBC;
//   - two- and three-key triple DES-CBC: their mechanisms are not in the
//     slots' table, so C_EncryptInit refuses them; the module's cipher code
//     underneath is measured instead against OpenSSL's DES-EDE(3)-CBC;
//   - StoreHash through C_Digest against OpenSSL's SHA-1 without the
//     processor's SHA instructions (which cannot compute a SHA-1 variant),
//     and beside it against OpenSSL's default SHA-1 (reported only).
// The target is a ratio of at least 0.8 for the ciphers and for StoreHash
// against SHA-1 without SHA instructions. Run an optimised build. The module
// works in a temporary folder set of its own. Rates come from processor time.
#include <dlfcn.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "token/crypto/bench/openssl_sha1.h"
#include "token/crypto/des.h"
#include "token/pkcs11.h"

namespace {

constexpr size_t kDataSize = size_t{64} << 20;
constexpr int kRounds = 3;
constexpr double kCipherTarget = 0.8;

using Bytes = std::vector<uint8_t>;

Bytes sample_bytes(size_t size) {
  Bytes bytes(size);
  std::mt19937_64 generator(7);
  for (auto& b : bytes) b = static_cast<uint8_t>(generator());
  return bytes;
}

// Best throughput of a few rounds, in MB/s, from the thread's processor time.
double best_rate(const std::function<bool()>& round) {
  double best = 0;
  for (int i = 0; i < kRounds; ++i) {
    double start = zyp::softtok::bench::thread_seconds();
    if (!round()) return 0;
    double seconds = zyp::softtok::bench::thread_seconds() - start;
    if (seconds > 0) best = std::max(best, static_cast<double>(kDataSize) / 1e6 / seconds);
  }
  return best;
}

void report(const char* name, double ours, double openssl, bool target) {
  double ratio = openssl > 0 ? ours / openssl : 0;
  std::printf("%-44s %9.1f MB/s  OpenSSL %9.1f MB/s  ratio %.2f%s\n", name, ours, openssl, ratio,
              target ? (ratio >= kCipherTarget ? "  (target met)" : "  (below target 0.8)") : "");
}

std::string module_path() {
  char path[PATH_MAX] = {};
  ssize_t size = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string exe(path, size > 0 ? static_cast<size_t>(size) : 0);
  return exe.substr(0, exe.rfind('/')) + "/../lib/libsofttok.so";
}

std::string make_private_folders() {
  char pattern[] = "/tmp/softtok-bench-XXXXXX";
  if (!mkdtemp(pattern)) return {};
  std::string root = pattern;
  for (const char* sub : {"runtime", "user", "machine"}) std::filesystem::create_directory(root + "/" + sub);
  std::filesystem::permissions(root + "/runtime", std::filesystem::perms::owner_all);
  setenv("ZYP_RUNTIME_DIR", (root + "/runtime").c_str(), 1);
  setenv("ZYP_USER_DIR", (root + "/user").c_str(), 1);
  setenv("ZYP_MACHINE_DIR", (root + "/machine").c_str(), 1);
  return root;
}

struct Token {
  CK_FUNCTION_LIST* p11 = nullptr;
  CK_SESSION_HANDLE session = 0;

  bool open() {
    void* module = dlopen(module_path().c_str(), RTLD_NOW);
    auto get_list = module ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList")) : nullptr;
    if (!get_list || get_list(&p11) != CKR_OK || p11->C_Initialize(nullptr) != CKR_OK) return false;
    CK_UTF8CHAR label[32];
    std::memset(label, ' ', sizeof label);
    CK_UTF8CHAR pin[] = "1234";
    return p11->C_InitToken(0, pin, 4, label) == CKR_OK &&
           p11->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session) == CKR_OK;
  }

  CK_OBJECT_HANDLE secret_key(CK_KEY_TYPE type, Bytes value) {
    CK_OBJECT_CLASS object_class = CKO_SECRET_KEY;
    CK_ATTRIBUTE attributes[] = {{CKA_CLASS, &object_class, sizeof object_class},
                                 {CKA_KEY_TYPE, &type, sizeof type},
                                 {CKA_VALUE, value.data(), value.size()}};
    CK_OBJECT_HANDLE key = 0;
    return p11->C_CreateObject(session, attributes, 3, &key) == CKR_OK ? key : 0;
  }

  CK_RV encrypt_init(CK_MECHANISM_TYPE type, CK_OBJECT_HANDLE key) {
    Bytes iv(8, 0);
    CK_MECHANISM mechanism{type, iv.data(), iv.size()};
    return p11->C_EncryptInit(session, &mechanism, key);
  }
};

bool openssl_encrypt(const char* name, const Bytes& key, Bytes& data) {
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes iv(8, 0);
  int written = 0;
  bool ok = cipher && ctx && EVP_EncryptInit_ex2(ctx, cipher, key.data(), iv.data(), nullptr) == 1 &&
            EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
            EVP_EncryptUpdate(ctx, data.data(), &written, data.data(), static_cast<int>(data.size())) == 1;
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (zyp::softtok::bench::serve_sha1_rate_request(argc, argv, kDataSize)) return 0;
  std::string root = make_private_folders();
  OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  OSSL_PROVIDER* fallback = OSSL_PROVIDER_load(nullptr, "default");
  Token token;
  if (root.empty() || !legacy || !fallback || !token.open()) {
    std::fprintf(stderr, "bench: cannot set up the module or OpenSSL's legacy provider\n");
    return 1;
  }
  Bytes data = sample_bytes(kDataSize), out(kDataSize);
  const Bytes des_key = sample_bytes(8), des2_key = sample_bytes(16), des3_key = sample_bytes(24);

  CK_OBJECT_HANDLE des = token.secret_key(CKK_DES, des_key);
  double ours = best_rate([&] {
    CK_ULONG length = out.size();
    return token.encrypt_init(CKM_DES_40_CBC, des) == CKR_OK &&
           token.p11->C_Encrypt(token.session, data.data(), data.size(), out.data(), &length) == CKR_OK;
  });
  report("DES-CBC, C_Encrypt (CKM_DES_40_CBC)", ours, best_rate([&] { return openssl_encrypt("DES-CBC", des_key, out); }),
         true);

  struct Triple {
    const char* name;
    CK_MECHANISM_TYPE mechanism;
    CK_KEY_TYPE key_type;
    const Bytes* key;
    const char* openssl_name;
  };
  const Triple triples[] = {{"two-key 3DES-CBC", CKM_DES2_CBC, CKK_DES2, &des2_key, "DES-EDE-CBC"},
                            {"three-key 3DES-CBC", CKM_DES3_CBC, CKK_DES3, &des3_key, "DES-EDE3-CBC"}};
  for (const Triple& t : triples) {
    CK_RV rv = token.encrypt_init(t.mechanism, token.secret_key(t.key_type, *t.key));
    std::printf("%s: C_EncryptInit gives 0x%lx (not in the slots' mechanism table); measuring the module's cipher\n",
                t.name, rv);
    auto cipher = zyp::softtok::DesKey::from_bytes(*t.key);
    double module_cipher = best_rate([&] {
      std::array<uint8_t, 8> chain{};
      return cipher->cbc_encrypt(out, chain);
    });
    std::string label = std::string(t.name) + ", module cipher code";
    report(label.c_str(), module_cipher, best_rate([&] { return openssl_encrypt(t.openssl_name, *t.key, out); }),
           true);
  }

  CK_MECHANISM sha{CKM_SHA_1, nullptr, 0};
  double hash = best_rate([&] {
    CK_BYTE digest[20];
    CK_ULONG length = sizeof digest;
    return token.p11->C_DigestInit(token.session, &sha) == CKR_OK &&
           token.p11->C_Digest(token.session, data.data(), data.size(), digest, &length) == CKR_OK;
  });
  report("StoreHash, C_Digest, vs SHA-1 without SHA-NI", hash,
         zyp::softtok::bench::openssl_sha1_rate_without_sha_extensions(), true);
  report("StoreHash, C_Digest, vs SHA-1 default", hash, zyp::softtok::bench::openssl_sha1_rate(data, kRounds), false);

  token.p11->C_CloseSession(token.session);
  token.p11->C_Finalize(nullptr);
  std::filesystem::remove_all(root);
  return 0;
}
