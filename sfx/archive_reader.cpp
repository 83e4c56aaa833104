#include "sfx/archive_reader.h"

#include <elf.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "sfx/archive_format.h"

namespace zyp::sfx {
namespace {

constexpr size_t kNameMax = 255;

// A cursor over bytes that refuses to read past their end.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  size_t offset() const { return offset_; }
  size_t left() const { return bytes_.size() - offset_; }

  bool word(uint32_t& value) {
    if (left() < 4) return false;
    value = get_le32(bytes_.data() + offset_);
    offset_ += 4;
    return true;
  }
  bool take(size_t size, std::span<const uint8_t>& piece) {
    if (left() < size) return false;
    piece = bytes_.subspan(offset_, size);
    offset_ += size;
    return true;
  }
  // A zero-terminated text; the terminator is passed over.
  bool text(std::string_view& value) {
    const uint8_t* start = bytes_.data() + offset_;
    const void* end = std::memchr(start, 0, left());
    if (!end) return false;
    size_t size = static_cast<size_t>(static_cast<const uint8_t*>(end) - start);
    value = {reinterpret_cast<const char*>(start), size};
    offset_ += size + 1;
    return true;
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t offset_ = 0;
};

// end = max(end, offset + count * size), saturating at `limit`.
void extend_end(uint64_t& end, uint64_t offset, uint64_t count, uint64_t size, uint64_t limit) {
  uint64_t total = 0, last = 0;
  if (__builtin_mul_overflow(count, size, &total) || __builtin_add_overflow(offset, total, &last) || last > limit) {
    last = limit;
  }
  end = std::max(end, last);
}

std::string text_field(std::span<const uint8_t> field) {
  auto zero = std::find(field.begin(), field.end(), uint8_t{0});
  return std::string(field.begin(), zero);
}

bool read_text_field(Reader& reader, std::string& text) {
  uint32_t length = 0;
  std::span<const uint8_t> field;
  if (!reader.word(length) || length != kTextFieldSize || !reader.take(length, field)) return false;
  text = text_field(field);
  return true;
}

bool fail(std::string& error, std::string message) {
  error = std::move(message);
  return false;
}

bool parse_entry(Reader& reader, EntryView& entry, std::string& error) {
  if (!reader.text(entry.name)) return fail(error, "an entry name runs past the end of the archive");
  if (std::string problem = entry_name_problem(entry.name); !problem.empty()) return fail(error, problem);
  if (!reader.word(entry.size) || !reader.word(entry.block_count)) {
    return fail(error, "the entry of " + std::string(entry.name) + " is cut short");
  }
  if (entry.block_count != block_count_for(entry.size)) {
    return fail(error, "the entry of " + std::string(entry.name) + " has a wrong block count");
  }
  uint32_t left = entry.size;
  for (uint32_t block = 0; block < entry.block_count; ++block) {
    uint32_t expected = std::min(left, kBlockSize);
    left -= expected;
    uint32_t flag = 0, length = 0;
    std::span<const uint8_t> bytes;
    if (!reader.word(flag) || !reader.word(length) || !reader.take(length, bytes) ||
        (flag != kFlagStored && flag != kFlagCompressed) || (flag == kFlagStored && length != expected)) {
      return fail(error, "a block of " + std::string(entry.name) + " is damaged or cut short");
    }
  }
  return true;
}

}  // namespace

size_t program_image_end(std::span<const uint8_t> file) {
  Elf64_Ehdr header;
  if (file.size() < sizeof header || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0 ||
      file[EI_CLASS] != ELFCLASS64) {
    return 0;
  }
  std::memcpy(&header, file.data(), sizeof header);
  const uint64_t limit = file.size();
  uint64_t end = sizeof header;
  extend_end(end, header.e_shoff, header.e_shnum, header.e_shentsize, limit);
  extend_end(end, header.e_phoff, header.e_phnum, header.e_phentsize, limit);
  if (header.e_phentsize == sizeof(Elf64_Phdr)) {
    for (uint64_t i = 0; i < header.e_phnum && end < limit; ++i) {
      uint64_t at = 0;
      if (__builtin_mul_overflow(i, uint64_t{sizeof(Elf64_Phdr)}, &at) ||
          __builtin_add_overflow(at, header.e_phoff, &at) || at + sizeof(Elf64_Phdr) > limit) {
        break;
      }
      Elf64_Phdr segment;
      std::memcpy(&segment, file.data() + at, sizeof segment);
      extend_end(end, segment.p_offset, 1, segment.p_filesz, limit);
    }
  }
  return static_cast<size_t>(end);
}

std::optional<ClearPart> read_clear_part(std::span<const uint8_t> file, std::string& error) {
  auto after_program = file.subspan(program_image_end(file));
  auto found = std::search(after_program.begin(), after_program.end(), kStartMarker.begin(), kStartMarker.end());
  if (found == after_program.end()) {
    error = "no archive data follows the program";
    return std::nullopt;
  }
  size_t marker = static_cast<size_t>(found - file.begin());
  Reader reader(file.subspan(marker + kStartMarker.size()));
  ClearPart clear;
  if (!reader.word(clear.key_bits) || !valid_key_bits(clear.key_bits) || !read_text_field(reader, clear.address) ||
      !read_text_field(reader, clear.notice)) {
    error = "the archive's clear part is damaged";
    return std::nullopt;
  }
  clear.region_offset = marker + kStartMarker.size() + reader.offset();
  size_t region = file.size() - clear.region_offset;
  if (region < kRegionHeaderSize || region % kCipherBlock != 0) {
    error = "the archive is cut short or damaged";
    return std::nullopt;
  }
  return clear;
}

std::string entry_name_problem(std::string_view name) {
  auto quoted = [&] { return "the entry name \"" + std::string(name) + "\""; };
  if (name.empty()) return "an entry has an empty name";
  if (name.size() > kNameMax) return "an entry name is longer than " + std::to_string(kNameMax) + " bytes";
  if (name == "." || name == "..") return quoted() + " names a folder";
  if (name.find('/') != std::string_view::npos) return quoted() + " holds a slash";
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return "an entry name holds a control character";
  }
  return {};
}

bool region_opens(std::span<const uint8_t> region) {
  return region.size() >= kClearMarker.size() &&
         std::equal(kClearMarker.begin(), kClearMarker.end(), region.begin());
}

bool parse_region(std::span<const uint8_t> region, std::vector<EntryView>& entries, std::string& error) {
  entries.clear();
  if (!region_opens(region)) return fail(error, "the region does not begin with the clear marker");
  Reader reader(region.subspan(kClearMarker.size()));
  std::span<const uint8_t> recovery;
  uint32_t count = 0;
  if (!reader.take(kRecoveryFieldSize, recovery) || !reader.word(count)) {
    return fail(error, "the archive is cut short");
  }
  for (uint32_t i = 0; i < count; ++i) {
    // Every entry takes at least 10 bytes: no count can make this loop long
    // or the list large before the region runs out.
    if (reader.left() < 10) return fail(error, "the archive holds fewer files than it announces");
    EntryView entry;
    size_t name_at = kClearMarker.size() + reader.offset();
    if (!parse_entry(reader, entry, error)) return false;
    size_t blocks_at = name_at + entry.name.size() + 1 + 8;
    entry.blocks = region.subspan(blocks_at, kClearMarker.size() + reader.offset() - blocks_at);
    entries.push_back(entry);
  }
  if (reader.left() >= kCipherBlock) return fail(error, "unexpected data follows the last file");
  return true;
}

bool decode_entry(const EntryView& entry, const std::function<bool(std::span<const uint8_t>)>& sink,
                  std::string& error) {
  Reader reader(entry.blocks);
  std::array<uint8_t, kBlockSize> plain;
  uint32_t left = entry.size;
  for (uint32_t block = 0; block < entry.block_count; ++block) {
    uint32_t expected = std::min(left, kBlockSize);
    uint32_t flag = 0, length = 0;
    std::span<const uint8_t> bytes;
    if (!reader.word(flag) || !reader.word(length) || !reader.take(length, bytes)) {
      return fail(error, "a block of " + std::string(entry.name) + " is cut short");
    }
    std::span<const uint8_t> out;
    if (flag == kFlagCompressed) {
      uLongf produced = plain.size();
      if (uncompress(plain.data(), &produced, bytes.data(), bytes.size()) != Z_OK || produced != expected) {
        return fail(error, "a block of " + std::string(entry.name) + " does not decompress");
      }
      out = {plain.data(), expected};
    } else {
      if (length != expected) return fail(error, "a block of " + std::string(entry.name) + " has a wrong length");
      out = bytes;
    }
    if (!sink(out)) return fail(error, "writing " + std::string(entry.name) + " failed");
    left -= expected;
  }
  return true;
}

}  // namespace zyp::sfx
