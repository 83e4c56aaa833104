// libFuzzer program for the extractor's reading of a decrypted region (built
// and run by scripts/fuzz.sh). The input is what follows the clear marker:
// recovery field, file count and entries. Any structure the reader accepts
// must decode within its announced sizes and carry names that stay in the
// target folder.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sfx/archive_format.h"
#include "sfx/archive_reader.h"

namespace {

[[noreturn]] void fault(const std::string& what) {
  std::fprintf(stderr, "fault: %s\n", what.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zyp::sfx;
  std::vector<uint8_t> region(kClearMarker.begin(), kClearMarker.end());
  region.insert(region.end(), data, data + size);
  std::vector<EntryView> entries;
  std::string error;
  if (!parse_region(region, entries, error)) {
    if (error.empty()) fault("a refusal without a message");
    return 0;
  }
  for (const EntryView& entry : entries) {
    if (!entry_name_problem(entry.name).empty()) fault("an accepted name that leaves the folder");
    if (entry.blocks.data() < region.data() || entry.blocks.data() + entry.blocks.size() > region.data() + region.size())
      fault("blocks outside the region");
    uint64_t decoded = 0;
    bool whole = decode_entry(
        entry, [&](std::span<const uint8_t> bytes) { return decoded += bytes.size(), true; }, error);
    if (whole && decoded != entry.size) fault("an entry decoded to another size than it announces");
  }
  return 0;
}
