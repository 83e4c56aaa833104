// Token, algorithm and key lists for the front ends' choice boxes, and the
// names that label them.
#include <cstring>
#include <functional>
#include <new>
#include <vector>

#include "platform/export_guard.h"
#include "zyp/zypclient.h"
#include "zyp/zypfile.h"

using zyp::platform::guarded;

namespace {

constexpr uint32_t kFirstCapacity = 32;
constexpr int kNoMemory = 1;
constexpr uint32_t kOnlyWithKeys = 0x1;

using ListRequest = std::function<int(ZYPCIPListEntry* list, uint32_t* count)>;

// Asks the provider for a list of 32 entries; when it holds more, asks again
// with room for all of them, so a long list is reported whole. `list` holds
// the entries filled.
int fetch_list(const ListRequest& request, std::vector<ZYPCIPListEntry>& list) {
  uint32_t capacity = kFirstCapacity;
  for (int attempt = 0; attempt < 2; ++attempt) {
    list.assign(capacity, ZYPCIPListEntry{});
    uint32_t count = capacity;
    int result = request(list.data(), &count);
    if (result == ZYPCIP_TOO_SMALL && count > capacity && attempt == 0) {
      capacity = count;
      continue;
    }
    list.resize(result == ZYPCIP_OK && count <= capacity ? count : 0);
    return result;
  }
  return ZYPCIP_TOO_SMALL;
}

// The list of `request`, each entry given to the callback; 1 when it cannot
// be allocated.
int enumerate(const ListRequest& request, ZYPEnumCallback callback, void* userValue) {
  if (!callback) return ZYPFILE_NULL_ARGUMENT;
  try {
    std::vector<ZYPCIPListEntry> list;
    int result = fetch_list(request, list);
    if (result != ZYPCIP_OK) return result;
    for (const ZYPCIPListEntry& item : list) callback(&item, userValue);
    return ZYPFILE_OK;
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
}

// The number of the token's keys for the algorithm is asked with an empty
// list: the provider answers 0 with no keys, or 1 and their count.
int count_keys(uint32_t token, uint32_t algo, uint16_t algoClass, uint32_t& count) {
  count = 0;
  int result = ZYPCIPEnumKey(token, algo, algoClass, nullptr, &count);
  return result == ZYPCIP_TOO_SMALL ? ZYPCIP_OK : result;
}

int report_algorithms(uint16_t algoClass, uint32_t token, ZYPEnumCallback callback, void* userValue,
                      uint32_t flags) {
  std::vector<ZYPCIPListEntry> list;
  int result = fetch_list(
      [&](ZYPCIPListEntry* entries, uint32_t* count) {
        return ZYPCIPEnumAlgorithm(token, algoClass, entries, count);
      },
      list);
  if (result != ZYPCIP_OK) return result;
  if (list.empty()) return ZYPFILE_NOT_PRESENT;
  for (const ZYPCIPListEntry& item : list) {
    if (flags & kOnlyWithKeys) {
      uint32_t keys = 0;
      result = count_keys(token, item.value, algoClass, keys);
      if (keys == 0) continue;
    }
    callback(&item, userValue);
  }
  return result;
}

using NameRequest = std::function<int(char* name, uint32_t* length)>;

// The provider's length is in characters, without the terminator.
int label_into(char* buffer, uint32_t size, const NameRequest& request) {
  if (!buffer || size == 0) return ZYPFILE_NULL_ARGUMENT;
  std::memset(buffer, 0, size);
  uint32_t length = size - 1;
  return request(buffer, &length);
}

}  // namespace

ZYP_API int ZYPEnumToken(ZYPEnumCallback callback, void* userValue) {
  return guarded(kNoMemory, [&] {
    return enumerate([](ZYPCIPListEntry* list, uint32_t* count) { return ZYPCIPEnumToken(list, count); },
                     callback, userValue);
  });
}

ZYP_API int ZYPEnumAlgo(uint16_t algoClass, uint32_t token, ZYPEnumCallback callback, void* userValue,
                        uint32_t flags) {
  return guarded(kNoMemory, [&] {
    if (!callback) return ZYPFILE_NULL_ARGUMENT;
    return report_algorithms(algoClass, token, callback, userValue, flags);
  });
}

ZYP_API int ZYPEnumKey(uint16_t algoClass, uint32_t token, uint32_t algo, ZYPEnumCallback callback,
                       void* userValue) {
  return guarded(kNoMemory, [&] {
    return enumerate(
        [&](ZYPCIPListEntry* list, uint32_t* count) { return ZYPCIPEnumKey(token, algo, algoClass, list, count); },
        callback, userValue);
  });
}

ZYP_API int ZYPGetTokenLabel(uint32_t token, char* buffer, uint32_t size) {
  return guarded(kNoMemory, [&] {
    return label_into(buffer, size, [&](char* name, uint32_t* length) { return ZYPCIPGetTokenName(token, name, length); });
  });
}

ZYP_API int ZYPGetKeyLabel(uint32_t token, uint32_t key, char* buffer, uint32_t size) {
  return guarded(kNoMemory, [&] {
    return label_into(buffer, size,
                      [&](char* name, uint32_t* length) { return ZYPCIPGetKeyName(token, key, name, length); });
  });
}

ZYP_API int ZYPGetAlgoLabel(uint32_t token, uint32_t algo, char* buffer, uint32_t size) {
  return guarded(kNoMemory, [&] {
    return label_into(buffer, size,
                      [&](char* name, uint32_t* length) { return ZYPCIPGetAlgoName(token, algo, name, length); });
  });
}
