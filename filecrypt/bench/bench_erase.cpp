// Secure erase of one large file with ZYPSecureEraseEx against `shred -n 3 -u`
// on the same kind of file in the same run, printed as a ratio (target: at
// most 1.1 times as long). Both write 3 passes over every byte, force each
// pass to the disk before the next and remove the file; the erase writes
// 00, AA, 55 in 1 MiB blocks through the page cache, shred writes three
// random passes in its own blocks (64 KiB, direct I/O where it can) and
// renames the file before removing it. Each round makes a fresh file of the
// same size, written and flushed to the disk beforehand, in the same folder.
//
// The rounds run twice: on an otherwise quiet machine, and with one busy
// neighbour process per spare core, which the program starts and stops
// itself (a desktop is never idle). The machine's load average is printed
// too, since other work on it shows in the times.
//
// It works in a temporary profile of its own; run an optimised build:
//   build/<preset>/bin/zypfile_bench [MiB] [ROUNDS]     (default 256 MiB, 3 rounds;
//   the files go below $TMPDIR or /tmp)
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kPasses = 3;
constexpr size_t kFillBlock = 1 << 20;

struct EraseCalls {
  int (*set_passes)(uint32_t);
  int (*erase)(const char*, void*, float);
};

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::exit(1);
}

std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// The library is loaded only once the environment names the temporary
// profile: loading it wipes the profile's send folder.
EraseCalls load_library() {
  char exe[PATH_MAX] = {};
  ssize_t size = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  std::string folder = fs::path(std::string(exe, size > 0 ? static_cast<size_t>(size) : 0)).parent_path().string();
  void* module = ::dlopen((folder + "/../lib/libzypfile.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) fail(std::string("cannot load libzypfile.so: ") + ::dlerror());
  EraseCalls calls{reinterpret_cast<int (*)(uint32_t)>(::dlsym(module, "ZYPSetSecureEraseCycle")),
                   reinterpret_cast<int (*)(const char*, void*, float)>(::dlsym(module, "ZYPSecureEraseEx"))};
  if (!calls.set_passes || !calls.erase) fail("libzypfile.so lacks the erase calls");
  return calls;
}

fs::path make_profile() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zypfile-bench-XXXXXX";
  if (!::mkdtemp(pattern.data())) fail("cannot make the temporary folder");
  fs::path root = pattern;
  for (const char* sub : {"runtime", "user", "machine", "files"}) fs::create_directory(root / sub);
  fs::permissions(root / "runtime", fs::perms::owner_all, fs::perm_options::replace);
  ::setenv("ZYP_RUNTIME_DIR", (root / "runtime").c_str(), 1);
  ::setenv("ZYP_USER_DIR", (root / "user").c_str(), 1);
  ::setenv("ZYP_MACHINE_DIR", (root / "machine").c_str(), 1);
  ::setenv("ZYP_UI", "none", 1);
  return root;
}

// A file of `size` bytes that are not the erase's patterns, on the disk.
void make_file(const fs::path& path, size_t size) {
  std::vector<char> block(kFillBlock);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 + 7);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) fail("cannot create " + path.string());
  for (size_t done = 0; done < size;) {
    size_t part = std::min(block.size(), size - done);
    if (::write(fd, block.data(), part) != static_cast<ssize_t>(part)) fail("cannot write " + path.string());
    done += part;
  }
  if (::fsync(fd) != 0) fail("cannot flush " + path.string());
  ::close(fd);
}

double time_erase(const EraseCalls& calls, const fs::path& path) {
  auto start = Clock::now();
  int result = calls.erase(path.c_str(), nullptr, 0);
  double elapsed = seconds_since(start);
  if (result != 0 || fs::exists(path)) fail("ZYPSecureEraseEx failed with " + std::to_string(result));
  return elapsed;
}

double time_shred(const fs::path& path) {
  std::string file = path.string();
  char* argv[] = {const_cast<char*>("shred"), const_cast<char*>("-n"), const_cast<char*>("3"),
                  const_cast<char*>("-u"), file.data(), nullptr};
  auto start = Clock::now();
  pid_t child = 0;
  if (::posix_spawnp(&child, "shred", nullptr, nullptr, argv, environ) != 0) fail("cannot start shred");
  int status = 0;
  ::waitpid(child, &status, 0);
  double elapsed = seconds_since(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || fs::exists(path)) fail("shred failed");
  return elapsed;
}

// One process per spare core that only computes, until stopped.
std::vector<pid_t> start_neighbours(long count) {
  std::vector<pid_t> neighbours;
  for (long i = 0; i < count; ++i) {
    pid_t child = ::fork();
    if (child == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // also when the benchmark fails half-way
      volatile uint64_t spin = 0;
      for (;;) spin = spin * 6364136223846793005u + 1442695040888963407u;
    }
    if (child > 0) neighbours.push_back(child);
  }
  return neighbours;
}

void stop_neighbours(const std::vector<pid_t>& neighbours) {
  for (pid_t child : neighbours) ::kill(child, SIGKILL);
  for (pid_t child : neighbours) ::waitpid(child, nullptr, 0);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Rounds of both erases, alternating which goes first; prints the medians.
void measure(const EraseCalls& calls, const fs::path& files, size_t size, int rounds, const char* label) {
  std::vector<double> erase, shred;
  for (int round = 0; round < rounds; ++round) {
    fs::path ours = files / "erased.dat";
    fs::path theirs = files / "shredded.dat";
    make_file(ours, size);
    make_file(theirs, size);
    if (round % 2 == 0) {
      erase.push_back(time_erase(calls, ours));
      shred.push_back(time_shred(theirs));
    } else {
      shred.push_back(time_shred(theirs));
      erase.push_back(time_erase(calls, ours));
    }
    std::printf("  %s round %d: ZYPSecureEraseEx %.3f s, shred -n 3 -u %.3f s\n", label, round + 1, erase.back(),
                shred.back());
  }
  double ours = median(erase), theirs = median(shred);
  std::printf("%s: ZYPSecureEraseEx %.3f s (%.0f MB/s written), shred %.3f s, ratio %.2f (target <= 1.1)\n", label,
              ours, kPasses * size / ours / 1e6, theirs, ours / theirs);
}

}  // namespace

int main(int argc, char** argv) {
  size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  if (mebibytes == 0) fail("usage: zypfile_bench [MiB] [ROUNDS]");
  fs::path root = make_profile();
  EraseCalls calls = load_library();
  if (calls.set_passes(kPasses) != 0) fail("cannot set the number of passes");
  size_t size = mebibytes << 20;
  long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
  std::printf("%zu MiB file, %u passes each; both force each pass to the disk and remove the file.\n", mebibytes,
              kPasses);
  std::printf("ZYPSecureEraseEx writes 00, AA, 55 in 1 MiB blocks; shred -n 3 -u writes three random passes in its\n"
              "own blocks and renames the file before removing it. %ld cores, load average %s\n",
              cores, load_average().c_str());

  measure(calls, root / "files", size, rounds, "quiet");
  long spare = std::max(0L, cores - 1);
  if (spare > 0) {
    std::vector<pid_t> neighbours = start_neighbours(spare);
    std::string label = std::to_string(neighbours.size()) + " busy neighbour(s)";
    measure(calls, root / "files", size, rounds, label.c_str());
    stop_neighbours(neighbours);
  } else {
    std::printf("busy neighbours: not measured (no spare core)\n");
  }
  std::printf("load average at the end %s\n", load_average().c_str());
  fs::remove_all(root);
  return 0;
}
