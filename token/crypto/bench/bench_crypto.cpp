// Throughput of the token's DES, triple DES and StoreHash next to OpenSSL's
// DES, triple DES and SHA-1 on the same 64 MiB buffer, with the ratio of
// each pair. The ciphers are expected to reach at least 0.8 of OpenSSL, and
// so is StoreHash against OpenSSL's SHA-1 without the processor's SHA
// instructions (which cannot compute a SHA-1 variant); StoreHash against
// OpenSSL's default SHA-1 is reported beside it. Each StoreHash path that the
// processor can run is measured too. Meaningful only in an optimised build.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "token/crypto/bench/openssl_sha1.h"
#include "token/crypto/des.h"
#include "token/crypto/store_hash.h"

namespace {

using namespace zyp::softtok;

constexpr size_t kBufferSize = size_t{64} << 20;
constexpr double kCipherTarget = 0.8;

std::vector<uint8_t>& buffer() {
  static std::vector<uint8_t> bytes = [] {
    std::vector<uint8_t> b(kBufferSize);
    std::mt19937 random(1);
    for (auto& x : b) x = static_cast<uint8_t>(random());
    return b;
  }();
  return bytes;
}

std::vector<uint8_t> test_key(size_t size) {
  std::vector<uint8_t> key(size);
  for (size_t i = 0; i < size; ++i) key[i] = static_cast<uint8_t>(0x31 + 17 * i);
  return key;
}

void ours_cbc(benchmark::State& state, size_t key_size) {
  auto key = DesKey::from_bytes(test_key(key_size));
  std::array<uint8_t, 8> chain{};
  for (auto _ : state) {
    key->cbc_encrypt(buffer(), chain);
    benchmark::DoNotOptimize(buffer().data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBufferSize));
}

void openssl_cbc(benchmark::State& state, const char* name, size_t key_size) {
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::array<uint8_t, 8> iv{};
  if (!cipher || !ctx || EVP_EncryptInit_ex2(ctx, cipher, test_key(key_size).data(), iv.data(), nullptr) != 1) {
    state.SkipWithError("OpenSSL cipher unavailable");
  } else {
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    for (auto _ : state) {
      int written = 0;
      EVP_EncryptUpdate(ctx, buffer().data(), &written, buffer().data(), static_cast<int>(kBufferSize));
      benchmark::DoNotOptimize(buffer().data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBufferSize));
  }
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
}

void ours_hash(benchmark::State& state, StoreHashPath path) {
  for (auto _ : state) benchmark::DoNotOptimize(StoreHash::of(buffer(), path));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBufferSize));
}

void openssl_sha1(benchmark::State& state) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  for (auto _ : state) {
    EVP_Digest(buffer().data(), kBufferSize, digest, nullptr, EVP_sha1(), nullptr);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBufferSize));
}

// Keeps the best throughput of each benchmark over its repetitions.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      auto counter = run.counters.find("bytes_per_second");
      if (counter == run.counters.end()) continue;
      double& best = best_[run.run_name.function_name];
      best = std::max(best, counter->second.value);
    }
  }
  double best(const std::string& name) const {
    auto it = best_.find(name);
    return it == best_.end() ? 0 : it->second;
  }

 private:
  std::map<std::string, double> best_;
};

struct HashPath {
  const char* name;
  StoreHashPath path;
};
constexpr HashPath kHashPaths[] = {
    {"scalar", StoreHashPath::scalar}, {"sse2", StoreHashPath::sse2}, {"avx2", StoreHashPath::avx2}};

struct Pair {
  const char* title;
  bool has_target;
};

void register_benchmarks() {
  auto add = [](const std::string& name, auto&& fn) {
    benchmark::RegisterBenchmark(name.c_str(), fn)->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);
  };
  struct Cipher {
    const char* title;
    const char* openssl_name;
    size_t key_size;
  };
  for (Cipher c : {Cipher{"DES-CBC", "DES-CBC", 8}, Cipher{"3DES-2KEY-CBC", "DES-EDE-CBC", 16},
                   Cipher{"3DES-3KEY-CBC", "DES-EDE3-CBC", 24}}) {
    add(std::string(c.title) + "/ours", [c](benchmark::State& s) { ours_cbc(s, c.key_size); });
    add(std::string(c.title) + "/openssl", [c](benchmark::State& s) { openssl_cbc(s, c.openssl_name, c.key_size); });
  }
  add("STOREHASH-vs-SHA1/ours", [](benchmark::State& s) { ours_hash(s, StoreHash::best_path()); });
  for (const HashPath& p : kHashPaths) {
    if (!StoreHash::path_available(p.path)) continue;
    add(std::string("STOREHASH-path/") + p.name, [p](benchmark::State& s) { ours_hash(s, p.path); });
  }
  add("STOREHASH-vs-SHA1/openssl", openssl_sha1);
}

int print_row(const char* title, double ours, double theirs, bool has_target) {
  double ratio = theirs > 0 ? ours / theirs : 0;
  const char* verdict = !has_target ? "(reported only)" : ratio >= kCipherTarget ? "ok" : "BELOW 0.8";
  std::printf("%-26s %12.1f %12.1f %7.2f  %s\n", title, ours, theirs, ratio, verdict);
  return has_target && ratio < kCipherTarget ? 1 : 0;
}

int print_ratios(const RatioReporter& reporter, double sha1_without_sha_extensions) {
  const Pair pairs[] = {{"DES-CBC", true}, {"3DES-2KEY-CBC", true}, {"3DES-3KEY-CBC", true}};
  int below_target = 0;
  std::printf("\n%-26s %12s %12s %7s\n", "algorithm", "ours MB/s", "OpenSSL MB/s", "ratio");
  for (const Pair& p : pairs) {
    below_target += print_row(p.title, reporter.best(std::string(p.title) + "/ours") / 1e6,
                              reporter.best(std::string(p.title) + "/openssl") / 1e6, p.has_target);
  }
  double hash = reporter.best("STOREHASH-vs-SHA1/ours") / 1e6;
  below_target += print_row("StoreHash/SHA-1 no SHA-NI", hash, sha1_without_sha_extensions, true);
  print_row("StoreHash/SHA-1 default", hash, reporter.best("STOREHASH-vs-SHA1/openssl") / 1e6, false);
  for (const HashPath& p : kHashPaths) {
    double rate = reporter.best(std::string("STOREHASH-path/") + p.name) / 1e6;
    if (rate > 0) print_row((std::string("StoreHash path ") + p.name).c_str(), rate, sha1_without_sha_extensions, false);
  }
  if (sha1_without_sha_extensions <= 0) std::printf("note: the run of OpenSSL without SHA instructions failed\n");
#ifndef __OPTIMIZE__
  std::printf("note: this is not an optimised build; the figures mean little\n");
#endif
  return below_target == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (zyp::softtok::bench::serve_sha1_rate_request(argc, argv, kBufferSize)) return 0;
  OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  OSSL_PROVIDER* fallback = OSSL_PROVIDER_load(nullptr, "default");
  std::vector<char*> args(argv, argv + argc);
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave.data());
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  register_benchmarks();
  buffer();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  double reference = zyp::softtok::bench::openssl_sha1_rate_without_sha_extensions();
  int status = print_ratios(reporter, reference);
  if (legacy) OSSL_PROVIDER_unload(legacy);
  if (fallback) OSSL_PROVIDER_unload(fallback);
  return status;
}
