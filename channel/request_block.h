#pragma once
// The request channel between libzypclient.so and zypserver: the names of the
// shared kernel objects, the request codes and the layout of a request block.
//
// A request block is a named shared block created by the client for one request:
//   offset 0  request code (the server reads only its low byte)
//   offset 4  result (0 from the client, the provider's result from the server)
//   offset 8  payload: items back to back, without padding, little-endian.
// Outputs go back at the offsets of the inputs. The client lays a request out
// with RequestWriter, the server reads it with RequestReader, which never
// reads or hands out anything beyond the block.
#include <cstddef>
#include <cstdint>
#include <span>

namespace zyp::channel {

inline constexpr char kStartEventName[] = "ZYPPROV_START_EVENT";
inline constexpr char kFinishedEventName[] = "ZYPPROV_FINISHED_EVENT";
inline constexpr char kRequestMutexName[] = "ZYPPROV_MUTEX";
inline constexpr char kRequestMappingName[] = "ZYPSERVER_FILEMAPPING";
inline constexpr char kServerMutexName[] = "ZYPSERVER_UNIQUE_MUTEX";

inline constexpr size_t kCodeOffset = 0;
inline constexpr size_t kResultOffset = 4;
inline constexpr size_t kPayloadOffset = 8;
inline constexpr size_t kListEntrySize = 260;
inline constexpr size_t kPublicRecordSize = 258;
inline constexpr size_t kPrivateRecordSize = 706;

// A data length of -1 in codes 15 to 19: the data area holds the
// zero-terminated descriptor "name offset length" of a named file mapping.
inline constexpr uint32_t kNamedMappingLength = 0xFFFFFFFF;

enum RequestCode : uint8_t {
  kHeartbeat = 0,
  kOpenSession = 1,
  kCloseSession = 2,
  kEnumToken = 3,
  kEnumAlgorithm = 4,
  kEnumKey = 5,
  kGetTokenName = 6,
  kGetAlgoName = 7,
  kGetKeyName = 8,
  kGetKeyFormat = 9,
  kGenerateRandomKey = 10,
  kGenerateKeyFromSentence = 11,
  kGenerateKeyFromBin = 12,
  kDeleteKey = 13,
  kGetBlockSize = 14,
  kCryptBuffer = 15,
  kDecryptBuffer = 16,
  kHashBuffer = 17,
  kSignBuffer = 18,
  kVerifyBuffer = 19,
  kChangeSecret = 20,
  kShutdown = 21,
  kReloadConfig = 22,
  kSetCheckPresence = 23,
  kSetInactivity = 24,
  kSetInactivityTime = 25,
  kGetKeyRecoveryField = 26,
  kIsStrongCryptoEnabled = 27,
  kSetKeyRecoveryPublicKey = 28,
  kGetBinKeyRecoveryField = 29,
  kChangeSecretEx = 30,
  kIsCompanyKeyRecoveryActive = 31,
  kGenerateSessionKeyFromKeyRecoveryField = 32,
  kReInsertKeyHolder = 33,
  kCloneCard = 34,
};

// Results the channel itself produces.
inline constexpr int kResultUnreachable = 16;       // client: no server to answer
inline constexpr int kResultMalformed = 5;          // server: a length does not fit the block
inline constexpr int kResultNamedMappingFailed = 15;  // server: the named mapping cannot be used

uint32_t load_u32(const uint8_t* at);
uint16_t load_u16(const uint8_t* at);
void store_u32(uint8_t* at, uint32_t value);
void store_u16(uint8_t* at, uint16_t value);

// Lays out a request's payload item by item. Constructed without a block it
// only measures, so the same layout code first sizes the block and then fills
// it. Each call returns the item's offset in the block.
class RequestWriter {
 public:
  RequestWriter() = default;
  explicit RequestWriter(std::span<uint8_t> block) : block_(block), writing_(true) {}

  size_t u32(uint32_t value);
  size_t u16(uint16_t value);
  size_t bytes(const void* data, size_t size);  // null data writes zeros
  size_t zeros(size_t size) { return bytes(nullptr, size); }
  size_t offset() const { return position_; }  // where the next item goes
  size_t size() const { return position_; }

 private:
  uint8_t* reserve(size_t size);
  std::span<uint8_t> block_;
  bool writing_ = false;
  size_t position_ = kPayloadOffset;
};

// Reads a request's payload item by item, checking every item against the
// block's size. A read past the end marks the request malformed and yields
// zeros or an empty span; callers check ok() before they use anything.
class RequestReader {
 public:
  explicit RequestReader(std::span<uint8_t> block) : block_(block) {}

  uint32_t u32();
  uint16_t u16();
  std::span<uint8_t> bytes(uint64_t size);
  // An item that must hold a zero byte within its `size` bytes.
  const char* terminated_string(uint64_t size);
  // A zero-terminated text running from here to its terminator.
  const char* text_to_terminator();

  size_t offset() const { return position_; }
  bool ok() const { return ok_; }

 private:
  uint8_t* take(uint64_t size);
  std::span<uint8_t> block_;
  size_t position_ = kPayloadOffset;
  bool ok_ = true;
};

}  // namespace zyp::channel
