// Trace output to a serial port, with a pseudo-terminal standing in for COM1.
// A program of its own: once chosen, the port stays in force for the process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "testsupport/test_env.h"
#include "zyp/zypprof.h"
#include "zyp/zyptools.h"

namespace {

struct PseudoTerminal {
  int master = -1;
  int slave = -1;  // kept open, so the line stays up between records
  std::string slave_name;

  PseudoTerminal() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    slave_name = ptsname(master);
    slave = open(slave_name.c_str(), O_RDWR | O_NOCTTY);
  }
  ~PseudoTerminal() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }

  // What arrives within a short while, until `size` bytes are there.
  std::string read_bytes(size_t size) {
    std::string bytes;
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (bytes.size() < size && std::chrono::steady_clock::now() < give_up) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char chunk[4096];
      ssize_t n = read(master, chunk, sizeof chunk);
      if (n <= 0) break;
      bytes.append(chunk, static_cast<size_t>(n));
    }
    return bytes;
  }
};

std::string expected_record(const std::string& message) {
  char exe[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
  char pid[32];
  std::snprintf(pid, sizeof pid, "I PID=%08X ", static_cast<unsigned>(getpid()));
  return pid + std::string(exe, static_cast<size_t>(n)) + " \r\n" + message + "\r\n\r\n";
}

std::string trace_and_read(PseudoTerminal& line, const char* message) {
  std::string expected = expected_record(message);
  std::thread writer([&] { ZYPTrace(1, "%s", message); });
  std::string bytes = line.read_bytes(expected.size());
  writer.join();
  return bytes;
}

TEST(TraceSerial, Com1SendsTheRecordAt115200EightNOne) {
  PseudoTerminal line;
  ASSERT_GE(line.slave, 0);
  setenv("ZYP_COM1_DEVICE", line.slave_name.c_str(), 1);
  ASSERT_TRUE(ZYPWriteProfileString("Debug", "TraceFile", "com1"));  // any case
  ASSERT_TRUE(ZYPWriteProfileDWord("Debug", "TraceFlag", 1));
  ZYPReloadConfig();

  EXPECT_EQ(trace_and_read(line, "first record"), expected_record("first record"));
  termios settings{};
  ASSERT_EQ(tcgetattr(line.slave, &settings), 0);
  EXPECT_EQ(cfgetospeed(&settings), speed_t{B115200});
  EXPECT_EQ(cfgetispeed(&settings), speed_t{B115200});
  EXPECT_EQ(settings.c_cflag & CSIZE, tcflag_t{CS8});
  EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(settings.c_oflag & OPOST, 0u);  // CR LF go out as they are

  // The port stays chosen when the target becomes a file...
  std::string file = zyp::testing::make_temp_folder("serial") + "/trace.log";
  ASSERT_TRUE(ZYPWriteProfileString("Debug", "TraceFile", file.c_str()));
  ZYPReloadConfig();
  EXPECT_EQ(trace_and_read(line, "still serial"), expected_record("still serial"));
  EXPECT_FALSE(std::filesystem::exists(file));

  // ...and without a target the mask keeps its value.
  ASSERT_TRUE(ZYPWriteProfileString("Debug", "TraceFile", nullptr));
  ASSERT_TRUE(ZYPWriteProfileDWord("Debug", "TraceFlag", 0));
  ZYPReloadConfig();
  EXPECT_EQ(trace_and_read(line, "mask kept"), expected_record("mask kept"));
}

}  // namespace
