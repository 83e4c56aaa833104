#pragma once
// OpenSSL's SHA-1 as the yardstick for StoreHash, in two forms: as OpenSSL
// runs by default (with the processor's SHA instructions where it has them)
// and with those instructions masked off. StoreHash cannot use the SHA
// instructions, so the second form is the fair comparison.
//
// OpenSSL reads its processor capability mask once, when the library loads,
// so the masked figure comes from a second run of the same program with
// OPENSSL_ia32cap set, which only measures SHA-1 and prints the rate.
#include <openssl/evp.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace zyp::softtok::bench {

inline constexpr const char* kSha1RateOption = "--openssl-sha1-rate";
// Bit 29 of the second capability word: the SHA extensions.
inline constexpr const char* kWithoutShaExtensions = ":~0x20000000";

// Processor time of the calling thread, in seconds. Rates are taken from it
// rather than from the wall clock, so that other programs sharing the
// processors change the figures less (the benchmark library's rates are
// processor time too).
inline double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Best throughput of OpenSSL's SHA-1 over a few runs on the buffer, in MB/s.
inline double openssl_sha1_rate(const std::vector<uint8_t>& data, int rounds = 5) {
  double best = 0;
  for (int i = 0; i < rounds; ++i) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    double start = thread_seconds();
    if (EVP_Digest(data.data(), data.size(), digest, nullptr, EVP_sha1(), nullptr) != 1) return 0;
    double seconds = thread_seconds() - start;
    if (seconds > 0) best = std::max(best, static_cast<double>(data.size()) / 1e6 / seconds);
  }
  return best;
}

// In the second run: measures SHA-1 on a buffer of the given size, prints the
// rate and tells the caller to exit. Returns false in a normal run.
inline bool serve_sha1_rate_request(int argc, char** argv, size_t size) {
  if (argc < 2 || std::strcmp(argv[1], kSha1RateOption) != 0) return false;
  std::vector<uint8_t> data(size);
  std::mt19937 random(3);
  for (auto& b : data) b = static_cast<uint8_t>(random());
  std::printf("%.3f\n", openssl_sha1_rate(data));
  return true;
}

// OpenSSL's SHA-1 rate without the SHA extensions, measured by a second run
// of this program; 0 when that run fails.
inline double openssl_sha1_rate_without_sha_extensions() {
  char path[PATH_MAX] = {};
  ssize_t size = readlink("/proc/self/exe", path, sizeof path - 1);
  if (size <= 0) return 0;
  std::string command =
      std::string("OPENSSL_ia32cap='") + kWithoutShaExtensions + "' '" + path + "' " + kSha1RateOption;
  FILE* child = popen(command.c_str(), "r");
  if (!child) return 0;
  double rate = 0;
  if (std::fscanf(child, "%lf", &rate) != 1) rate = 0;
  return pclose(child) == 0 ? rate : 0;
}

}  // namespace zyp::softtok::bench
