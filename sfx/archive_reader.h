#pragma once
// Reading a self-extracting archive (layout in archive_format.h) from bytes
// that may be damaged or hostile: every length is checked against what is
// there before it is used, and entry names that could leave the target
// folder are refused.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zyp::sfx {

struct ClearPart {
  uint32_t key_bits = 0;
  std::string address;
  std::string notice;
  size_t region_offset = 0;  // P: where the encrypted region starts
};

// The first byte after the program at the start of `file` (an ELF image: the
// end of its headers, segments and section table), 0 when `file` is no ELF
// image. An image that claims more than `file` holds gives file.size().
size_t program_image_end(std::span<const uint8_t> file);

// Finds the start marker after the program's own bytes and reads the clear
// part. Nothing (and a message in `error`) when there is no marker or the
// clear part is damaged.
std::optional<ClearPart> read_clear_part(std::span<const uint8_t> file, std::string& error);

// One entry of a decrypted region; `blocks` spans its blocks (flags, lengths
// and bytes), which have been checked to lie inside the region.
struct EntryView {
  std::string_view name;
  uint32_t size = 0;
  uint32_t block_count = 0;
  std::span<const uint8_t> blocks;
};

// Why a name cannot become a file in the target folder; empty when it can.
std::string entry_name_problem(std::string_view name);

// Whether the decrypted region begins with the clear marker: false means the
// password was wrong (or the region was damaged).
bool region_opens(std::span<const uint8_t> region);

// Checks the structure of an opened region and lists its entries: names,
// block counts and every block's length against the region, and that only
// padding (fewer than 8 bytes) follows the last entry. False with a message
// on the first fault.
bool parse_region(std::span<const uint8_t> region, std::vector<EntryView>& entries, std::string& error);

// Decodes an entry's blocks in order, handing each block's bytes to `sink`
// (which returns false to stop). False with a message when a block does not
// decode to its expected size or the sink stops.
bool decode_entry(const EntryView& entry, const std::function<bool(std::span<const uint8_t>)>& sink,
                  std::string& error);

}  // namespace zyp::sfx
