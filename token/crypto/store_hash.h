#pragma once
// StoreHash: the token's SHA-1 variant behind CKM_SHA_1, key identifiers and
// the store sealing key. It differs from SHA-1 in three ways that stored key
// stores depend on: block words and the digest are little-endian, every
// rotation sign-extends (a word with its top bit set fills the rotated-in
// bits and those above them with ones), and the padded bit length puts the
// high word before the low word, both little-endian.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace zyp::softtok {

inline constexpr size_t kStoreHashSize = 20;
using StoreDigest = std::array<uint8_t, kStoreHashSize>;

// The ways the compression function can run: plain C++, and on x86 with the
// message schedule in vector registers (SSE2 everywhere, AVX2 with BMI where
// the processor has them). All give the same digest; the fastest available
// is the default, the others are there for tests and measurements.
enum class StoreHashPath { scalar, sse2, avx2 };

class StoreHash {
 public:
  StoreHash() : StoreHash(best_path()) {}
  // A path that this processor cannot run falls back to scalar.
  explicit StoreHash(StoreHashPath path);
  ~StoreHash();
  StoreHash(const StoreHash&) = default;
  StoreHash& operator=(const StoreHash&) = default;

  // Starts a new message.
  void reset();
  // Appends bytes; pieces of any size give the same digest as one piece.
  // Ignored once the digest has been taken.
  void update(const void* data, size_t size);
  void update(std::span<const uint8_t> bytes) { update(bytes.data(), bytes.size()); }
  // Pads the message and returns its digest; later calls return the same
  // digest until reset().
  StoreDigest finish();

  static StoreDigest of(std::span<const uint8_t> bytes, StoreHashPath path = best_path());

  static bool path_available(StoreHashPath path);
  static StoreHashPath best_path();

 private:
  void compress_blocks(const uint8_t* blocks, size_t count);

  StoreHashPath path_;
  std::array<uint32_t, 5> h_;
  uint64_t bit_length_;
  std::array<uint8_t, 64> pending_;
  size_t pending_size_;
  bool finished_;
};

}  // namespace zyp::softtok
