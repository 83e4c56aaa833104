// Packs and unpacks a tree of mixed file sizes with ZYPZip and ZYPUnZip, and
// the same tree with tar cf and tar xf, in the same run; prints both times
// and their ratio (the toolbox aims at 1.5 or less).
//
//   zyptools_bench [MiB]     (default 200; the tree goes below $TMPDIR or /tmp)
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "zyp/zyptools.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kRounds = 3;

// Sizes in bytes: mostly small files, some medium ones, a few large ones.
size_t pick_size(std::mt19937& random) {
  int kind = std::uniform_int_distribution<int>(0, 999)(random);
  if (kind < 850) return std::uniform_int_distribution<size_t>(0, 8 << 10)(random);
  if (kind < 990) return std::uniform_int_distribution<size_t>(8 << 10, 512 << 10)(random);
  return std::uniform_int_distribution<size_t>(4 << 20, 24 << 20)(random);
}

void make_tree(const fs::path& top, size_t total_bytes) {
  std::mt19937 random(20261209);
  std::vector<fs::path> folders{top};
  std::vector<char> block(24 << 20);
  for (char& c : block) c = static_cast<char>(random());
  size_t written = 0;
  for (int file = 0; written < total_bytes; ++file) {
    if (file % 40 == 0) {
      fs::path parent = folders[random() % folders.size()];
      if (parent.string().size() > top.string().size() + 60) parent = top;
      folders.push_back(parent / ("folder" + std::to_string(folders.size())));
      fs::create_directory(folders.back());
    }
    size_t size = std::min(pick_size(random), total_bytes - written);
    fs::path path = folders[random() % folders.size()] / ("file" + std::to_string(file) + ".dat");
    std::ofstream out(path, std::ios::binary);
    out.write(block.data() + random() % (block.size() - size + 1), static_cast<std::streamsize>(size));
    written += size;
  }
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

double time_toolbox(const fs::path& work, const fs::path& tree) {
  fs::path archive = work / "tree.zyp";
  fs::path out = work / "unzipped";
  auto start = Clock::now();
  if (ZYPZip(tree.c_str(), archive.c_str()) != 0 || ZYPUnZip(archive.c_str(), out.c_str()) != 0) {
    std::fprintf(stderr, "ZYPZip or ZYPUnZip failed\n");
    std::exit(1);
  }
  double elapsed = seconds_since(start);
  fs::remove(archive);
  fs::remove_all(out);
  return elapsed;
}

double time_tar(const fs::path& work, const fs::path& tree) {
  fs::path archive = work / "tree.tar";
  fs::path out = work / "untarred";
  fs::create_directory(out);
  auto start = Clock::now();
  if (!run("tar cf '" + archive.string() + "' -C '" + tree.string() + "' .") ||
      !run("tar xf '" + archive.string() + "' -C '" + out.string() + "'")) {
    std::fprintf(stderr, "tar failed\n");
    std::exit(1);
  }
  double elapsed = seconds_since(start);
  fs::remove(archive);
  fs::remove_all(out);
  return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200;
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zyptools-bench-XXXXXX";
  if (!mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  fs::path work = pattern;
  fs::path tree = work / "tree";
  fs::create_directory(tree);
  make_tree(tree, mebibytes << 20);
  size_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(tree)) files += entry.is_regular_file();
  std::printf("tree: %zu MiB in %zu files\n", mebibytes, files);

  std::vector<double> toolbox, tar;
  for (int round = 0; round < kRounds; ++round) {
    toolbox.push_back(time_toolbox(work, tree));
    tar.push_back(time_tar(work, tree));
    std::printf("round %d: ZYPZip+ZYPUnZip %.3f s, tar cf+xf %.3f s\n", round + 1, toolbox.back(), tar.back());
  }
  std::sort(toolbox.begin(), toolbox.end());
  std::sort(tar.begin(), tar.end());
  double ratio = toolbox[kRounds / 2] / tar[kRounds / 2];
  std::printf("median: ZYPZip+ZYPUnZip %.3f s, tar %.3f s, ratio %.2f (target <= 1.5)\n", toolbox[kRounds / 2],
              tar[kRounds / 2], ratio);
  fs::remove_all(work);
  return 0;
}
