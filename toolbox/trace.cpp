// ZYPTrace: one record per call, appended to the trace file with a single
// write (O_APPEND), so that records of several processes and threads never
// mix; or sent to a serial port.
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/export_guard.h"
#include "toolbox/config.h"
#include "toolbox/format.h"
#include "zyp/zyptools.h"

namespace zyp::tools {
namespace {

constexpr uint32_t kNeverTraced = 0x10;

char level_letter(uint32_t flags) {
  if (flags & 0x08) return 'F';
  if (flags & 0x04) return 'E';
  if (flags & 0x02) return 'W';
  if (flags & 0x01) return 'I';
  return '?';
}

std::string executable_path() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

// "<L> PID=%08X <exe> [HH:MM:SS ]\r\n<message>\r\n\r\n"
std::string build_record(uint32_t flags, uint32_t mask, const std::string& message) {
  std::string record;
  record += level_letter(flags);
  char pid[32];
  std::snprintf(pid, sizeof pid, " PID=%08X ", static_cast<unsigned>(::getpid()));
  record += pid;
  record += executable_path();
  record += ' ';
  if (mask & kTraceTimeBit) {
    time_t now = ::time(nullptr);
    struct tm local {};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d ", local.tm_hour, local.tm_min, local.tm_sec);
    record += stamp;
  }
  record += "\r\n";
  record += message;
  record += "\r\n\r\n";
  return record;
}

bool write_all(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The trace may be written by a server running as another user than the
// folder's owner: a link planted under the trace file's name is not
// followed, nothing but a regular file is written to (a FIFO could block),
// and a new file is readable by its owner only (traces name files and keys).
void append_to_file(const std::string& path, const std::string& record) {
  if (path.empty()) return;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (fd < 0) return;  // the record is lost
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) write_all(fd, record);
  ::close(fd);
}

// COM1 and COM2 are the first two serial ports unless the environment names others.
std::string serial_device(uint32_t port_base) {
  const char* variable = port_base == kCom1PortBase ? "ZYP_COM1_DEVICE" : "ZYP_COM2_DEVICE";
  const char* configured = std::getenv(variable);
  if (configured && *configured) return configured;
  return port_base == kCom1PortBase ? "/dev/ttyS0" : "/dev/ttyS1";
}

// 115200 baud, 8 data bits, no parity, 1 stop bit, no flow control, bytes as they are.
bool set_serial_line(int fd) {
  struct termios line {};
  if (::tcgetattr(fd, &line) != 0) return false;
  ::cfmakeraw(&line);
  line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  line.c_cflag |= CS8 | CLOCAL | CREAD;
  ::cfsetispeed(&line, B115200);
  ::cfsetospeed(&line, B115200);
  return ::tcsetattr(fd, TCSANOW, &line) == 0;
}

void send_to_serial_port(uint32_t port_base, const std::string& record) {
  int fd = ::open(serial_device(port_base).c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return;
  // The lock keeps records of several processes apart on the line.
  if (set_serial_line(fd) && ::flock(fd, LOCK_EX) == 0) {
    write_all(fd, record);
    ::tcdrain(fd);
    ::flock(fd, LOCK_UN);
  }
  ::close(fd);
}

void trace(uint32_t flags, const char* format, va_list args) {
  if ((flags & current_trace_mask()) == 0 || (flags & kNeverTraced)) return;
  auto config = current_config();
  if (!config) return;
  std::string record = build_record(flags, config->trace_mask, format_text(format, args));
  if (config->serial_port_base) {
    send_to_serial_port(config->serial_port_base, record);
  } else {
    append_to_file(config->trace_target, record);
  }
}

}  // namespace
}  // namespace zyp::tools

ZYP_API void ZYPTrace(uint32_t flags, const char* format, ...) {
  if (!format) return;
  va_list args;
  va_start(args, format);
  zyp::platform::guarded(0, [&] {
    zyp::tools::trace(flags, format, args);
    return 0;
  });
  va_end(args);
}
