// Creating and extracting a self-extracting archive of a 200 MiB tree, next
// to tar czf piped through openssl enc -des-cbc and back. Run by hand:
//   build/release/bin/zypsfx_bench [MiB]
// It works in a fresh folder below $TMPDIR and removes it at the end.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "sfx/generator.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kPassword[] = "benchmark password";
constexpr size_t kFileSize = 1 << 20;

// Half the files are text-like (they compress), half random bytes (they do not).
void make_tree(const fs::path& root, size_t mebibytes) {
  std::mt19937 random(7);
  std::vector<char> buffer(kFileSize);
  const char* words[] = {"marsh ", "heron ", "reed ", "water ", "quill ", "tide ", "mud ", "willow\n"};
  for (size_t i = 0; i < mebibytes; ++i) {
    fs::path folder = root / ("d" + std::to_string(i % 10));
    fs::create_directories(folder);
    if (i % 2 == 0) {
      for (char& c : buffer) c = static_cast<char>(random());
    } else {
      for (size_t at = 0; at < buffer.size();) {
        const char* word = words[random() % 8];
        for (; *word && at < buffer.size(); ++word) buffer[at++] = *word;
      }
    }
    std::ofstream(folder / ("f" + std::to_string(i)), std::ios::binary).write(buffer.data(), buffer.size());
  }
}

std::vector<std::string> files_of(const fs::path& root) {
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file()) files.push_back(entry.path().string());
  return files;
}

double seconds_of(const std::function<void()>& work) {
  auto start = Clock::now();
  work();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void shell(const std::string& command) {
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(1);
  }
}

std::string bin_folder() {
  return fs::read_symlink("/proc/self/exe").parent_path().string();
}

}  // namespace

int main(int argc, char** argv) {
  size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200;
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp ? tmp : "/tmp") + "/zypsfx-bench-XXXXXX";
  if (!mkdtemp(pattern.data())) return 1;
  fs::path work = pattern;
  make_tree(work / "tree", mebibytes);
  fs::create_directories(work / "out-sfx");
  fs::create_directories(work / "out-tar");
  std::string stub = bin_folder() + "/zypsfx16";

  zyp::sfx::Services services;
  services.file_attributes = [](const char*, FileHeader*) { return 44; };
  services.recovery_field = [](uint32_t, uint32_t, std::span<const uint8_t>, std::span<uint8_t>) { return 0; };
  services.message = [](uint32_t text, uint32_t, const char* first, const char*) {
    std::fprintf(stderr, "generator message %u %s\n", text, first);
    std::exit(1);
    return 0;
  };
  std::string archive = (work / "parcel").string();
  double create = seconds_of([&] {
    zyp::sfx::GeneratorContext context;
    std::strcpy(context.password.data(), kPassword);
    context.output = archive;
    context.key_bits = 56;
    context.paths = files_of(work / "tree");
    zyp::sfx::write_archive(context, services, stub);
  });
  double extract = seconds_of([&] {
    shell("echo '" + std::string(kPassword) + "' | '" + archive + "' -d '" + (work / "out-sfx").string() + "'");
  });

  const std::string cipher = "openssl enc -des-cbc -provider legacy -provider default -K 0123456789abcdef -iv 0011223344556677";
  std::string sealed = (work / "tree.tgz.des").string();
  double tar_create = seconds_of([&] {
    shell("tar czf - -C '" + (work / "tree").string() + "' . | " + cipher + " -out '" + sealed + "'");
  });
  double tar_extract = seconds_of([&] {
    shell(cipher + " -d -in '" + sealed + "' | tar xzf - -C '" + (work / "out-tar").string() + "'");
  });

  std::printf("tree: %zu MiB in %zu files (half compressible)\n", mebibytes, files_of(work / "tree").size());
  std::printf("%-28s %10s %10s %12s\n", "", "create s", "extract s", "size MiB");
  std::printf("%-28s %10.2f %10.2f %12.1f\n", "zypsfx (DES 56, 32 KB zlib)", create, extract,
              static_cast<double>(fs::file_size(archive)) / (1 << 20));
  std::printf("%-28s %10.2f %10.2f %12.1f\n", "tar czf | openssl des-cbc", tar_create, tar_extract,
              static_cast<double>(fs::file_size(sealed)) / (1 << 20));
  fs::remove_all(work);
  return 0;
}
