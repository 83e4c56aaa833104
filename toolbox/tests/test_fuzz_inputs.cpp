// Runs the fuzz entry points over a seeded, deterministic mutation corpus:
// valid archives and registry files, mutated by bit flips, boundary values,
// inserted tokens (path escapes, separators, prefixes), cuts and splices. The
// sanitizer build turns any out-of-bounds access into a failure.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "toolbox/archive_format.h"
#include "toolbox/fuzz/fuzz_targets.h"

namespace zyp::fuzz {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kIterations = 1500;
// A limit on the wall time as well, for slow (sanitizer) builds.
constexpr auto kTimeBudget = std::chrono::seconds(20);

void append_text(Bytes& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

void append_entry(Bytes& out, std::string_view path, uint16_t flags, std::string_view contents) {
  tools::ArchiveEntryHeader header{};
  tools::put_le32(header.magic, tools::kArchiveMagic);
  std::memcpy(header.path, path.data(), std::min(path.size(), sizeof header.path));
  tools::put_le16(header.flags, flags);
  tools::put_le32(header.size, static_cast<uint32_t>(contents.size()));
  const auto* raw = reinterpret_cast<const uint8_t*>(&header);
  out.insert(out.end(), raw, raw + sizeof header);
  append_text(out, contents);
}

std::vector<Bytes> archive_seeds() {
  Bytes tree;
  append_entry(tree, "A", tools::kArchiveFolderFlag, "");
  append_entry(tree, "A\\report.doc", 0, "contents of the report");
  append_entry(tree, "A\\empty", 0, "");
  append_entry(tree, "A\\B", tools::kArchiveFolderFlag, "");
  append_entry(tree, "A\\B\\deep.txt", 0, std::string(600, 'x'));
  append_entry(tree, "top.bin", 0, std::string("\0\1\2\3", 4));
  Bytes through_link;
  append_entry(through_link, "link\\escaped.txt", 0, "through the link");
  append_entry(through_link, "link", 0, "over the link");
  Bytes escapes;
  append_entry(escapes, "ok.txt", 0, "fine");
  append_entry(escapes, "..\\up.txt", 0, "escape");
  Bytes truncated;
  append_entry(truncated, "cut.txt", 0, std::string(100, 'c'));
  truncated.resize(truncated.size() - 40);
  return {tree, through_link, escapes, truncated, Bytes{}};
}

std::vector<Bytes> registry_seeds() {
  Bytes full;
  append_text(full,
              "[HKEY_CURRENT_USER\\Software\\Fuzz]\r\n"
              "\"s\"=\"text\"\r\n"
              "@=\"unnamed\"\r\n"
              "\"w\"=dword:0000000A\r\n"
              "\"\"=dword:FFFFFFFF\r\n"
              "\"b\"=hex:00,AB,FF\r\n"
              "\"odd\"=hex:A\r\n"
              "[HKEY_CURRENT_USER\\Software\\Fuzz\\Sub]\r\n"
              "\"q\"=\"\\\"quoted\\\"\"\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fuzz]\r\n"
              "\"m\"=dword:1\r\n"
              "[HKEY_CLASSES_ROOT\\.fz]\r\n"
              "@=\"FuzzFile\"\r\n"
              "[HKEY_USERS\\fuzzuser\\Software]\r\n"
              "\"u\"=\"1\"\r\n"
              "[HKEY_CURRENT_CONFIG\\Display]\r\n"
              "\"c\"=\"2\"\r\n"
              "[NOT_A_ROOT\\X]\r\n"
              "\"n\"=\"3\"\r\n");
  Bytes odd;
  append_text(odd, "[HKEY_CURRENT_USER]\n\"=\"\n\"\"=hex:\nx=\"y\"\n\"h\"=hex:1,,2 ,zz,3\n\"d\"=dword:\n");
  return {full, odd, Bytes{}};
}

// Boundary values and tokens that the parsers treat specially.
const std::vector<std::string>& tokens() {
  static const std::vector<std::string> list = {
      "..",  "..\\", "\\",  "/",   "C:", ":",      std::string(1, '\0'), ".",     "\"",    "@",   "=",
      "[",   "]",    "\r\n", "\n", "hex:", "dword:", ",",   "HKEY_", "\\..\\", "\xff", std::string(300, 'n'),
  };
  return list;
}

class Mutator {
 public:
  explicit Mutator(uint32_t seed) : random_(seed) {}

  Bytes mutate(const std::vector<Bytes>& seeds) {
    Bytes data = seeds[below(seeds.size())];
    int steps = 1 + static_cast<int>(below(4));
    for (int i = 0; i < steps; ++i) mutate_once(data, seeds);
    return data;
  }

 private:
  size_t below(size_t limit) { return limit == 0 ? 0 : std::uniform_int_distribution<size_t>(0, limit - 1)(random_); }

  void mutate_once(Bytes& data, const std::vector<Bytes>& seeds) {
    static constexpr uint32_t kWords[] = {0, 1, 272, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu, tools::kArchiveMagic};
    size_t at = below(data.size() + 1);
    switch (below(7)) {
      case 0:
        if (!data.empty()) data[below(data.size())] ^= static_cast<uint8_t>(1u << below(8));
        break;
      case 1: {
        const std::string& token = tokens()[below(tokens().size())];
        data.insert(data.begin() + static_cast<ptrdiff_t>(at), token.begin(), token.end());
        break;
      }
      case 2: {
        size_t count = std::min(data.size() - std::min(at, data.size()), below(64) + 1);
        data.erase(data.begin() + static_cast<ptrdiff_t>(at), data.begin() + static_cast<ptrdiff_t>(at + count));
        break;
      }
      case 3:
        data.resize(at);
        break;
      case 4:
        if (data.size() >= 4) {
          size_t pos = below(data.size() - 3);
          tools::put_le32(&data[pos], kWords[below(std::size(kWords))]);
        }
        break;
      case 5: {
        const Bytes& other = seeds[below(seeds.size())];
        size_t from = below(other.size() + 1);
        data.insert(data.begin() + static_cast<ptrdiff_t>(at), other.begin() + static_cast<ptrdiff_t>(from),
                    other.end());
        break;
      }
      default:
        if (!data.empty()) data[below(data.size())] = static_cast<uint8_t>(below(256));
        break;
    }
  }

  std::mt19937 random_;
};

template <typename Target>
void run_corpus(const std::vector<Bytes>& seeds, Target target, uint32_t seed) {
  for (const Bytes& input : seeds) ASSERT_EQ(target(input.data(), input.size()), "") << "a seed";
  Mutator mutator(seed);
  auto deadline = std::chrono::steady_clock::now() + kTimeBudget;
  for (int i = 0; i < kIterations && std::chrono::steady_clock::now() < deadline; ++i) {
    Bytes input = mutator.mutate(seeds);
    std::string fault = target(input.data(), input.size());
    ASSERT_EQ(fault, "") << "iteration " << i << ", input of " << input.size() << " bytes";
  }
}

TEST(FuzzInputs, UnzipNeverWritesOutsideTheDestination) { run_corpus(archive_seeds(), unzip_input, 0x5EED0001); }

TEST(FuzzInputs, RegImportSurvivesMalformedFiles) { run_corpus(registry_seeds(), regimport_input, 0x5EED0002); }

}  // namespace
}  // namespace zyp::fuzz
