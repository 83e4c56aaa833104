// zypsfx16: the extractor that every self-extracting archive starts with. It
// reads the data appended to its own file, asks for the password and writes
// the files. It is linked statically and loads no library of the suite, so
// that a recipient without the suite can run it.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "platform/terminal_echo.h"
#include "sfx/archive_format.h"
#include "sfx/extractor.h"

namespace {

constexpr char kVersion[] = "zypsfx16 1.0";
constexpr char kUsage[] =
    "Usage: ARCHIVE [-d FOLDER] [-l] [-o]\n"
    "Writes the files of this self-extracting archive into the current folder.\n"
    "  -d FOLDER  write them into FOLDER instead\n"
    "  -l         list the files without writing them\n"
    "  -o         overwrite files that exist already\n"
    "  -v         print the version and exit\n"
    "  --help     print this help and exit\n"
    "The password is asked on the terminal, or read as one line from standard input.\n";

struct Options {
  std::string folder = ".";
  bool list = false;
  bool overwrite = false;
};

enum class Parsed { Run, Version, Help, Wrong };

Parsed parse_arguments(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "-v") return Parsed::Version;
    if (arg == "--help" || arg == "-h") return Parsed::Help;
    if (arg == "-l") {
      options.list = true;
    } else if (arg == "-o") {
      options.overwrite = true;
    } else if (arg == "-d" && i + 1 < argc) {
      options.folder = argv[++i];
    } else {
      return Parsed::Wrong;
    }
  }
  return Parsed::Run;
}

// The password: typed without echo on a terminal, else the first line of
// standard input. Wiped by the caller.
bool read_password(char* buffer, size_t size) {
  bool terminal = ::isatty(STDIN_FILENO) == 1;
  if (terminal) fputs("Password: ", stderr);
  zyp::platform::EchoOff quiet(STDIN_FILENO, terminal);
  if (!fgets(buffer, static_cast<int>(size), stdin)) return false;
  buffer[strcspn(buffer, "\r\n")] = '\0';
  return true;
}

void show_texts(const zyp::sfx::ClearPart& clear) {
  if (!clear.notice.empty()) fprintf(stderr, "%s\n", clear.notice.c_str());
  if (!clear.address.empty()) fprintf(stderr, "%s\n", clear.address.c_str());
}

int fail(const std::string& message) {
  fprintf(stderr, "zypsfx16: %s\n", message.c_str());
  return 1;
}

int run(const Options& options) {
  std::string error;
  auto archive = zyp::sfx::ArchiveFile::open("/proc/self/exe", error);
  if (!archive) return fail(error);
  if (::isatty(STDIN_FILENO) == 1) show_texts(archive->clear_part());

  char password[256] = {};
  bool typed = read_password(password, sizeof password);
  bool unlocked = typed && archive->unlock(password, error);
  explicit_bzero(password, sizeof password);
  if (!typed) return fail("no password was given");
  if (!unlocked) return fail(error);

  if (options.list) {
    printf("Size\tName\n");
    for (const auto& entry : archive->entries()) {
      printf("%u\t%.*s\n", entry.size, static_cast<int>(entry.name.size()), entry.name.data());
    }
    return 0;
  }
  if (!archive->extract(options.folder, options.overwrite, error)) return fail(error);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  switch (parse_arguments(argc, argv, options)) {
    case Parsed::Version:
      printf("%s\n", kVersion);
      return 0;
    case Parsed::Help:
      fputs(kUsage, stdout);
      return 0;
    case Parsed::Wrong:
      fputs(kUsage, stderr);
      return 2;
    case Parsed::Run:
      break;
  }
  return run(options);
}
