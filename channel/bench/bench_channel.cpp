// Costs of the request channel, measured in one run and printed as ratios:
//   - a ZYPCIPGetBlockSize round trip through zypserver against a ping-pong of
//     the same size over a Unix socket between two processes (target: at
//     most 3 times as long), once on an otherwise idle machine and once with
//     a busy neighbour (a process that only computes) on every spare
//     processor, as a desktop always has other work running; both figures of
//     each pair are measured under the same conditions;
//   - ZYPCIPCryptBuffer of 64 MiB in the named-mapping form, in place in a
//     file mapping of this process, against the same call made in process
//     with the provider loaded here (target: at least 0.9 of its speed).
//     Both work on a mapping of the same file, written beforehand as any
//     file on disk is, and mapped once before the timing: the file encryption
//     library maps the files it works on, in process or not. (A heap buffer
//     for the in-process call would compare two different kinds of memory.)
//     Through the channel, the server maps the file for every call; that is
//     part of what the channel costs and is timed.
// It works in a temporary profile of its own, with the token's PIN typed
// into the provider's PIN dialog by a script. The named objects live on
// tmpfs (/dev/shm), where a desktop session's runtime folder is. Run an
// optimised build:
//   build/<preset>/bin/channel_bench [ROUND_TRIPS]
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_mapping.h"
#include "token/pkcs11.h"
#include "zyp/zypprov.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kToken = 0;
constexpr uint32_t kMechanism = CKM_DES_40_CBC;
constexpr uint32_t kBulkSize = 64u << 20;
constexpr uint32_t kNamedMappingLength = 0xFFFFFFFF;
constexpr int kBulkRounds = 3;
constexpr size_t kMessageSize = 20;  // a GetBlockSize request
constexpr char kPin[] = "1234";
constexpr char kSentence[] = "the sentence of the benchmark key";

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string build_folder() {
  char path[PATH_MAX] = {};
  ssize_t size = ::readlink("/proc/self/exe", path, sizeof path - 1);
  std::string exe(path, size > 0 ? static_cast<size_t>(size) : 0);
  return exe.substr(0, exe.rfind('/')) + "/..";
}

void* load(const std::string& library) {
  void* module = ::dlopen((build_folder() + "/lib/" + library).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    std::fprintf(stderr, "cannot load %s: %s\n", library.c_str(), ::dlerror());
    std::exit(1);
  }
  return module;
}

template <typename Function>
Function symbol(void* module, const char* name) {
  auto address = reinterpret_cast<Function>(::dlsym(module, name));
  if (!address) {
    std::fprintf(stderr, "missing %s\n", name);
    std::exit(1);
  }
  return address;
}

// ---- A temporary profile with an initialised token --------------------------

std::string make_folder(const char* parent) {
  std::string pattern = std::string(parent) + "/zypbench-XXXXXX";
  return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

// The profile's files under /tmp; the named objects' folder, in `runtime`.
std::string make_profile(std::string& runtime) {
  std::string root = make_folder("/tmp");
  runtime = make_folder("/dev/shm");
  if (root.empty() || runtime.empty()) {
    std::fprintf(stderr, "cannot make the temporary folders\n");
    std::exit(1);
  }
  for (const char* sub : {"user", "machine", "tmp"}) std::filesystem::create_directories(root + "/" + sub);
  ::setenv("ZYP_RUNTIME_DIR", runtime.c_str(), 1);
  ::setenv("ZYP_USER_DIR", (root + "/user").c_str(), 1);
  ::setenv("ZYP_MACHINE_DIR", (root + "/machine").c_str(), 1);
  ::setenv("TMPDIR", (root + "/tmp").c_str(), 1);
  // One PIN answer for each of the two logins below.
  std::string script = root + "/answers";
  std::ofstream(script) << "dialog 129 set 1000 \"" << kPin << "\"\ndialog 129 click 1\n"
                        << "dialog 129 set 1000 \"" << kPin << "\"\ndialog 129 click 1\n";
  ::setenv("ZYP_UI", ("script:" + script).c_str(), 1);
  return root;
}

void initialise_token() {
  void* module = load("libsofttok.so");
  CK_FUNCTION_LIST* p11 = nullptr;
  symbol<CK_C_GetFunctionList>(module, "C_GetFunctionList")(&p11);
  p11->C_Initialize(nullptr);
  CK_UTF8CHAR label[32];
  std::memset(label, ' ', sizeof label);
  std::memcpy(label, "Password token", 14);
  CK_RV rv = p11->C_InitToken(kToken, reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(kPin)), 4, label);
  p11->C_Finalize(nullptr);
  ::dlclose(module);
  if (rv != CKR_OK) {
    std::fprintf(stderr, "cannot initialise the token: %#lx\n", rv);
    std::exit(1);
  }
}

// ---- The ZYPCIP calls of one library (the provider or the client) ------------

struct Calls {
  int (*open_session)(uint32_t);
  decltype(&ZYPCIPGenerateKeyFromSentence) generate_key;
  decltype(&ZYPCIPDeleteKey) delete_key;
  decltype(&ZYPCIPGetBlockSize) block_size;
  decltype(&ZYPCIPCryptBuffer) crypt;

  explicit Calls(void* module)
      : open_session(symbol<int (*)(uint32_t)>(module, "ZYPCIPOpenSession")),
        generate_key(symbol<decltype(generate_key)>(module, "ZYPCIPGenerateKeyFromSentence")),
        delete_key(symbol<decltype(delete_key)>(module, "ZYPCIPDeleteKey")),
        block_size(symbol<decltype(block_size)>(module, "ZYPCIPGetBlockSize")),
        crypt(symbol<decltype(crypt)>(module, "ZYPCIPCryptBuffer")) {}

  // Logs in and makes the benchmark key; 0 when that cannot be done.
  uint32_t log_in_with_key() const {
    if (open_session(kToken) != 1) return 0;
    uint32_t key = 0;
    return generate_key(kToken, kMechanism, 1, "bench", kSentence, &key) == 0 ? key : 0;
  }
};

// Best time of a few encryptions of `data`, through `crypt`.
template <typename Crypt>
double best_bulk_time(Crypt&& crypt) {
  double best = 1e9;
  for (int round = 0; round < kBulkRounds; ++round) {
    Clock::time_point start = Clock::now();
    if (crypt() != 0) return -1;
    best = std::min(best, seconds_since(start));
  }
  return best;
}

// ---- Round trips --------------------------------------------------------------

double socket_round_trip(int round_trips) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return -1;
  pid_t echo = ::fork();
  if (echo == 0) {
    ::close(pair[0]);
    char message[kMessageSize];
    while (::read(pair[1], message, sizeof message) == static_cast<ssize_t>(sizeof message))
      if (::write(pair[1], message, sizeof message) != static_cast<ssize_t>(sizeof message)) break;
    ::_exit(0);
  }
  ::close(pair[1]);
  char message[kMessageSize] = {};
  double elapsed = -1;
  Clock::time_point start = Clock::now();
  int done = 0;
  while (done < round_trips && ::write(pair[0], message, sizeof message) == static_cast<ssize_t>(sizeof message) &&
         ::read(pair[0], message, sizeof message) == static_cast<ssize_t>(sizeof message))
    ++done;
  if (done == round_trips) elapsed = seconds_since(start) / round_trips;
  ::close(pair[0]);  // ends the echo
  if (echo > 0) ::waitpid(echo, nullptr, 0);
  return elapsed;
}

// ---- Busy neighbours ----------------------------------------------------------

// One per processor beside the one the benchmark itself needs, at least one.
int spare_processors() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  int processors = ::sched_getaffinity(0, sizeof allowed, &allowed) == 0 ? CPU_COUNT(&allowed)
                                                                         : static_cast<int>(::sysconf(_SC_NPROCESSORS_ONLN));
  return std::max(1, processors - 1);
}

// Processes that only compute, as other work on a desktop does, for as long
// as the object lives. They are killed and reaped when it goes, and die with
// the benchmark should it end any other way.
class BusyNeighbours {
 public:
  explicit BusyNeighbours(int count) {
    pid_t parent = ::getpid();
    for (int i = 0; i < count; ++i) {
      pid_t child = ::fork();
      if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(0);
        for (;;) asm volatile("" ::: "memory");  // computes nothing, but is never optimised away
      }
      if (child > 0) children_.push_back(child);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let them settle on their processors
  }
  ~BusyNeighbours() {
    for (pid_t child : children_) ::kill(child, SIGKILL);
    for (pid_t child : children_) ::waitpid(child, nullptr, 0);
  }
  BusyNeighbours(const BusyNeighbours&) = delete;
  BusyNeighbours& operator=(const BusyNeighbours&) = delete;
  size_t count() const { return children_.size(); }

 private:
  std::vector<pid_t> children_;
};

// ---- The file both bulk measurements encrypt ---------------------------------

std::string write_bulk_file(const std::string& root) {
  std::string path = root + "/tmp/bulk";
  std::vector<uint8_t> chunk(1u << 20, 0x5A);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  bool written = fd >= 0;
  for (uint32_t done = 0; written && done < kBulkSize; done += chunk.size())
    written = ::write(fd, chunk.data(), chunk.size()) == static_cast<ssize_t>(chunk.size());
  if (fd >= 0) ::close(fd);
  if (!written) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
  return path;
}

// A read/write mapping of the whole file, under `name` when one is given.
std::unique_ptr<zyp::platform::FileMapping> map_bulk_file(const std::string& path, const std::string& name) {
  int fd = ::open(path.c_str(), O_RDWR);
  auto mapping = fd >= 0 ? zyp::platform::FileMapping::create(fd, name, 0) : nullptr;
  if (fd >= 0) ::close(fd);
  return mapping;
}

// ---- In process: the provider loaded here (in a child, since the token
// module takes one process at a time) ------------------------------------------

double in_process_bulk_time(const std::string& bulk_file) {
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) return -1;
  pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe_ends[0]);
    void* provider = load("libzypprov.so");
    Calls calls(provider);
    double time = -1;
    uint32_t key = calls.log_in_with_key();
    auto mapping = map_bulk_file(bulk_file, "");
    if (key != 0 && mapping) {
      time = best_bulk_time([&] {
        uint32_t length = kBulkSize;
        return calls.crypt(kToken, kMechanism, key, static_cast<uint8_t*>(mapping->data()), &length);
      });
    }
    mapping.reset();
    if (key != 0) calls.delete_key(kToken, key);
    ::dlclose(provider);  // its unload finalises the token module for the server
    ssize_t written = ::write(pipe_ends[1], &time, sizeof time);
    ::_exit(written == sizeof time ? 0 : 1);
  }
  ::close(pipe_ends[1]);
  double time = -1;
  if (::read(pipe_ends[0], &time, sizeof time) != sizeof time) time = -1;
  ::close(pipe_ends[0]);
  ::waitpid(child, nullptr, 0);
  return time;
}

// ---- Through the channel ------------------------------------------------------

// Round trips through the channel and over the socket, measured one after
// the other under the same conditions.
struct RoundTrips {
  double channel = -1;
  double socket = -1;
};

struct ChannelResults {
  RoundTrips idle, busy;
  size_t neighbours = 0;
  int block_size_result = -1;
  double bulk_time = -1;
};

RoundTrips measure_round_trips(const Calls& calls, int round_trips) {
  RoundTrips result;
  uint32_t size = 0;
  Clock::time_point begin = Clock::now();
  for (int i = 0; i < round_trips; ++i) calls.block_size(kToken, kMechanism, &size);
  result.channel = seconds_since(begin) / round_trips;
  result.socket = socket_round_trip(round_trips);
  return result;
}

ChannelResults through_channel(int round_trips, const std::string& bulk_file) {
  void* client = load("libzypclient.so");
  auto start = symbol<int (*)()>(client, "ZYPCIPStartPKCS");
  auto shutdown = symbol<int (*)()>(client, "ZYPCIPShutdownPKCS");
  Calls calls(client);
  ChannelResults results;
  if (start() != 1) {
    std::fprintf(stderr, "the server does not start\n");
    return results;
  }
  uint32_t key = calls.log_in_with_key();

  uint32_t size = 0;
  results.block_size_result = calls.block_size(kToken, kMechanism, &size);
  results.idle = measure_round_trips(calls, round_trips);
  {
    BusyNeighbours neighbours(spare_processors());
    results.neighbours = neighbours.count();
    results.busy = measure_round_trips(calls, round_trips);
  }

  if (key != 0) {
    // The file mapped under the descriptor that names it, as the file
    // encryption library maps the files it works on.
    std::string descriptor = "ZYPBENCH_FILE 0 " + std::to_string(kBulkSize);
    auto mapping = map_bulk_file(bulk_file, descriptor);
    if (mapping) {
      results.bulk_time = best_bulk_time([&] {
        uint32_t length = kNamedMappingLength;
        return calls.crypt(kToken, kMechanism, key, reinterpret_cast<uint8_t*>(descriptor.data()), &length);
      });
    }
    calls.delete_key(kToken, key);
  }
  shutdown();
  return results;
}

void print_round_trips(const char* condition, const RoundTrips& trips) {
  std::printf("round trip, %s: channel %.2f us, Unix socket %.2f us, ratio %.2f (target <= 3)\n", condition,
              trips.channel * 1e6, trips.socket * 1e6, trips.channel / trips.socket);
}

std::string load_average() {
  std::ifstream file("/proc/loadavg");
  std::string one_minute;
  file >> one_minute;
  return one_minute.empty() ? "unknown" : one_minute;
}

}  // namespace

int main(int argc, char** argv) {
  int round_trips = argc > 1 ? std::atoi(argv[1]) : 20000;
  std::string runtime;
  std::string root = make_profile(runtime);
  initialise_token();
  std::string bulk_file = write_bulk_file(root);

  std::printf("load average before the run: %s\n", load_average().c_str());
  double in_process = in_process_bulk_time(bulk_file);
  ChannelResults channel = through_channel(round_trips, bulk_file);

  std::printf("GetBlockSize result %d\n", channel.block_size_result);
  print_round_trips("idle", channel.idle);
  std::string busy = "with " + std::to_string(channel.neighbours) + " busy neighbour(s)";
  print_round_trips(busy.c_str(), channel.busy);
  if (in_process > 0 && channel.bulk_time > 0) {
    double in_rate = kBulkSize / in_process / 1e6, channel_rate = kBulkSize / channel.bulk_time / 1e6;
    std::printf("64 MiB CryptBuffer: named mapping %.1f MB/s, in process %.1f MB/s, ratio %.2f (target >= 0.9)\n",
                channel_rate, in_rate, channel_rate / in_rate);
  } else {
    std::printf("64 MiB CryptBuffer: not measured (no logged-in session; the PIN dialog must accept the script)\n");
  }
  std::filesystem::remove_all(root);
  std::filesystem::remove_all(runtime);
  return 0;
}
