// Throughput of the token's DES, triple DES and StoreHash next to OpenSSL's
// DES, triple DES and SHA-1 on the same 64 MiB buffer, with the ratio of
// each pair. The ciphers are expected to reach at least 0.8 of OpenSSL; the
// hash is only reported (OpenSSL's SHA-1 uses the CPU's SHA instructions).
// Meaningful only in an optimised build.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

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

void ours_hash(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(StoreHash::of(buffer()));
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
  add("STOREHASH-vs-SHA1/ours", ours_hash);
  add("STOREHASH-vs-SHA1/openssl", openssl_sha1);
}

int print_ratios(const RatioReporter& reporter) {
  const Pair pairs[] = {{"DES-CBC", true}, {"3DES-2KEY-CBC", true}, {"3DES-3KEY-CBC", true}, {"STOREHASH-vs-SHA1", false}};
  int below_target = 0;
  std::printf("\n%-18s %12s %12s %7s\n", "algorithm", "ours MB/s", "OpenSSL MB/s", "ratio");
  for (const Pair& p : pairs) {
    double ours = reporter.best(std::string(p.title) + "/ours") / 1e6;
    double theirs = reporter.best(std::string(p.title) + "/openssl") / 1e6;
    double ratio = theirs > 0 ? ours / theirs : 0;
    const char* verdict = !p.has_target ? "(reported only)" : ratio >= kCipherTarget ? "ok" : "BELOW 0.8";
    if (p.has_target && ratio < kCipherTarget) ++below_target;
    std::printf("%-18s %12.1f %12.1f %7.2f  %s\n", p.title, ours, theirs, ratio, verdict);
  }
#ifndef __OPTIMIZE__
  std::printf("note: this is not an optimised build; the figures mean little\n");
#endif
  return below_target == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
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
  int status = print_ratios(reporter);
  if (legacy) OSSL_PROVIDER_unload(legacy);
  if (fallback) OSSL_PROVIDER_unload(fallback);
  return status;
}
