#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <thread>
#include <vector>

#include "testsupport/test_env.h"
#include "toolbox/tests/tree_helpers.h"
#include "zyp/zypprof.h"
#include "zyp/zyptools.h"

namespace {

using zyp::tools::testing::read_file;
namespace fs = std::filesystem;

std::string trace_file() { return zyp::testing::make_temp_folder("trace") + "/trace.log"; }

void configure(const std::string& target, uint32_t mask) {
  ASSERT_TRUE(ZYPWriteProfileString("Debug", "TraceFile", target.c_str()));
  ASSERT_TRUE(ZYPWriteProfileDWord("Debug", "TraceFlag", mask));
  ZYPReloadConfig();
}

std::string header_start(char letter) {
  char exe[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
  char pid[32];
  std::snprintf(pid, sizeof pid, " PID=%08X ", static_cast<unsigned>(getpid()));
  return std::string(1, letter) + pid + std::string(exe, static_cast<size_t>(n)) + " ";
}

TEST(Trace, RecordLayoutIsExact) {
  std::string file = trace_file();
  configure(file, 0x5);
  ZYPTrace(1, "ZYPCIPGenerateRandomKey C_GenerateKey returns %X", 0);
  EXPECT_EQ(read_file(file), header_start('I') + "\r\nZYPCIPGenerateRandomKey C_GenerateKey returns 0\r\n\r\n");
}

TEST(Trace, TimeStampWhenMaskBit31IsSet) {
  std::string file = trace_file();
  configure(file, 0x80000005);
  ZYPTrace(4, "--> %s", "ZYPCipherFileEx");
  std::string text = read_file(file);
  std::string start = header_start('E');
  ASSERT_EQ(text.substr(0, start.size()), start);
  EXPECT_TRUE(std::regex_match(text.substr(start.size()), std::regex("[0-2][0-9]:[0-5][0-9]:[0-6][0-9] \r\n--> "
                                                                      "ZYPCipherFileEx\r\n\r\n")))
      << text;
}

TEST(Trace, MaskAndFlagsDecideWhatIsWritten) {
  struct Case {
    uint32_t mask;
    uint32_t flags;
    char letter;  // 0: nothing written
  };
  const Case cases[] = {
      {0, 1, 0},          {0, 4, 0},          {0, 0xFFFFFFFF, 0},
      {0x80000005, 1, 'I'}, {0x80000005, 4, 'E'}, {0x80000005, 2, 0},
      {0x80000005, 0x11, 0}, {0xFFFFFFFF, 0x11, 0}, {0xFFFFFFFF, 0x14, 0},
      {0xF, 0x08, 'F'},   {0xF, 0x0C, 'F'},   {0xF, 0x06, 'E'},
      {0xF, 0x02, 'W'},   {0xF, 0x03, 'W'},   {0x20, 0x20, '?'},
  };
  for (const Case& c : cases) {
    std::string file = trace_file();
    configure(file, c.mask);
    ZYPTrace(c.flags, "message");
    std::string text = fs::exists(file) ? read_file(file) : "";
    if (c.letter == 0) {
      EXPECT_EQ(text, "") << std::hex << c.mask << " / " << c.flags;
    } else {
      ASSERT_FALSE(text.empty()) << std::hex << c.mask << " / " << c.flags;
      EXPECT_EQ(text[0], c.letter) << std::hex << c.mask << " / " << c.flags;
    }
  }
}

TEST(Trace, RecordsAreAppended) {
  std::string file = trace_file();
  zyp::tools::testing::write_file(file, "earlier\r\n");
  configure(file, 1);
  ZYPTrace(1, "one");
  ZYPTrace(1, "two");
  std::string start = header_start('I');
  EXPECT_EQ(read_file(file), "earlier\r\n" + start + "\r\none\r\n\r\n" + start + "\r\ntwo\r\n\r\n");
}

TEST(Trace, FormatsWithoutFloatingPointOrWrites) {
  std::string file = trace_file();
  configure(file, 1);
  ZYPTrace(1, "%s|%d|%u|%05X|%-3c|%lX|%%|%.2s", "text", -7, 7u, 0xABCu, 'z', 0xFFFFFFFFul, "abc");
  // Conversions the formatter does not know are printed as they stand and
  // take no argument, so the one after them still gets its own.
  const char* unsupported = "%.2f|%n|%1$s|%ls|%s|%";
  ZYPTrace(1, unsupported, "after");
  std::string start = header_start('I');
  EXPECT_EQ(read_file(file), start + "\r\ntext|-7|7|00ABC|z  |FFFFFFFF|%|ab\r\n\r\n" + start +
                                 "\r\n%.2f|%n|%1$s|%ls|after|%\r\n\r\n");
}

TEST(Trace, LongMessagesAreWrittenWhole) {
  std::string file = trace_file();
  configure(file, 1);
  std::string message(20000, 'm');
  ZYPTrace(1, "%s", message.c_str());
  EXPECT_EQ(read_file(file), header_start('I') + "\r\n" + message + "\r\n\r\n");
}

TEST(Trace, UnwritableTargetLosesTheRecordQuietly) {
  std::string folder = zyp::testing::make_temp_folder("trace");
  configure(folder, 1);  // a folder cannot be opened as the trace file
  ZYPTrace(1, "lost");
  configure(folder + "/missing/trace.log", 1);
  ZYPTrace(1, "lost");
  EXPECT_FALSE(fs::exists(folder + "/missing"));
  ZYPTrace(1, nullptr);
}

// A link or FIFO planted under the trace file's name is never written
// through, and a new trace file is private to its owner.
TEST(Trace, NewFileIsPrivateAndPlantedTargetsAreRefused) {
  std::string folder = zyp::testing::make_temp_folder("trace");
  std::string victim = folder + "/victim";
  zyp::tools::testing::write_file(victim, "untouched");
  fs::create_symlink(victim, folder + "/link.log");
  ASSERT_EQ(mkfifo((folder + "/fifo.log").c_str(), 0600), 0);

  configure(folder + "/link.log", 1);
  ZYPTrace(1, "through the link");
  configure(folder + "/fifo.log", 1);
  ZYPTrace(1, "into the fifo");  // must not block
  EXPECT_EQ(read_file(victim), "untouched");

  std::string file = folder + "/new.log";
  configure(file, 1);
  ZYPTrace(1, "private");
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Several processes and threads write records of different lengths at
// once; every record must come out whole.
TEST(Trace, RecordsOfProcessesAndThreadsNeverMix) {
  constexpr int kWriters = 6;  // 2 processes, 4 threads
  constexpr int kRecords = 60;
  std::string file = trace_file();
  configure(file, 1);
  auto write_records = [](int writer) {
    for (int i = 0; i < kRecords; ++i) {
      std::string message(100 + 97 * ((writer + i) % 40), static_cast<char>('a' + writer));
      ZYPTrace(1, "%s", message.c_str());
    }
  };
  std::vector<pid_t> children;
  for (int writer = 0; writer < 2; ++writer) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      write_records(writer);
      _exit(0);
    }
    children.push_back(child);
  }
  std::vector<std::thread> threads;
  for (int writer = 2; writer < kWriters; ++writer) threads.emplace_back(write_records, writer);
  for (auto& thread : threads) thread.join();
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  // Split at the record ends; each piece must be one header line and one
  // message made of a single writer's letter.
  std::string text = read_file(file);
  ASSERT_GE(text.size(), 4u);
  ASSERT_EQ(text.substr(text.size() - 4), "\r\n\r\n");
  int count = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n\r\n", start);
    ASSERT_NE(end, std::string::npos);
    std::string piece = text.substr(start, end - start);
    size_t line_end = piece.find("\r\n");
    ASSERT_NE(line_end, std::string::npos) << piece.substr(0, 80);
    EXPECT_EQ(piece.substr(0, 6), "I PID=");
    std::string message = piece.substr(line_end + 2);
    ASSERT_FALSE(message.empty());
    EXPECT_EQ(message.find_first_not_of(message[0]), std::string::npos) << "mixed record";
    ++count;
    start = end + 4;
  }
  EXPECT_EQ(count, kWriters * kRecords);
}

}  // namespace
