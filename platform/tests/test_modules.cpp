#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <functional>

#include "platform/atomic_file.h"
#include "platform/files.h"
#include "platform/modules.h"
#include "testsupport/test_env.h"

namespace zyp::platform {
namespace {

TEST(ModuleNames, WindowsNamesMapToLinuxFiles) {
  struct Case {
    const char* windows;
    const char* linux_name;
  };
  const Case cases[] = {
      {"SOFTTOK.DLL", "libsofttok.so"},
      {"softtok.dll", "libsofttok.so"},
      {"ZypProv.Dll", "libzypprov.so"},
      {"ZYPPANEL.CPL", "libzyppanel.so"},
      {"ZYPSERVER.EXE", "zypserver"},
      {"zyp.exe", "zyp"},
      {"ZYP.V2.DLL", "libzyp.v2.so"},
      {"libz.so.1", "libz.so.1"},  // another ending is kept
      {"zypserver", "zypserver"},  // no ending is kept
      {"ZYPPROV.ENU", "ZYPPROV.ENU"},
      {"/opt/zyp/SOFTTOK.DLL", "/opt/zyp/SOFTTOK.DLL"},  // a path is kept
      {"lib/X.EXE", "lib/X.EXE"},
      {".DLL", ".DLL"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(linux_file_name(c.windows), c.linux_name) << c.windows;
}

std::string program_folder() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  std::string exe(path, static_cast<size_t>(n));
  return exe.substr(0, exe.find_last_of('/'));
}

TEST(ModuleLookup, RunningBinaryIsTheTestProgram) { EXPECT_EQ(running_binary_folder(), program_folder()); }

// Files placed in the suite's own folders for one test, removed afterwards;
// the names carry the process id so that parallel test programs never meet.
class SuiteFiles : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const auto& path : placed_) unlink(path.c_str());
  }
  std::string place(const std::string& path) {
    placed_.push_back(path);
    return path;
  }
  std::string unique_stem() const { return "zypprobe" + std::to_string(getpid()); }

  std::vector<std::string> placed_;
};

TEST_F(SuiteFiles, ProgramsBesideTheBinaryComeBeforePath) {
  std::string name = unique_stem();
  std::string own = place(program_folder() + "/" + name);
  ASSERT_TRUE(write_file_atomically(own, "#!/bin/sh\nexit 7\n", 0755));
  std::string elsewhere = zyp::testing::make_temp_folder("path");
  ASSERT_TRUE(write_file_atomically(elsewhere + "/" + name, "#!/bin/sh\nexit 9\n", 0755));
  std::string path = std::string(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
  setenv("PATH", (elsewhere + ":" + path).c_str(), 1);

  for (char& c : name) c = static_cast<char>(toupper(c));
  EXPECT_EQ(find_program(name + ".EXE"), own);
  EXPECT_EQ(spawn_program(name + ".EXE", {}, true), 7);

  // A file without an execute bit is no program.
  chmod(own.c_str(), 0644);
  EXPECT_EQ(find_program(name + ".EXE"), elsewhere + "/" + unique_stem());
}

TEST_F(SuiteFiles, ModulesInTheLibFolderComeFirstAndLoad) {
  auto zlib = find_module("libz.so.1");
  ASSERT_TRUE(zlib) << "zlib is a build dependency and must be on the loader's path";
  std::string prefix = program_folder().substr(0, program_folder().find_last_of('/'));
  std::string own = place(prefix + "/lib/lib" + unique_stem() + ".so");
  ASSERT_TRUE(copy_file(*zlib, own, false));

  std::string windows_name = unique_stem() + ".DLL";
  EXPECT_EQ(find_module(windows_name), own);
  void* module = load_module(windows_name);
  ASSERT_NE(module, nullptr);
  auto version = reinterpret_cast<const char* (*)()>(module_symbol(module, "zlibVersion"));
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version()[0], '1');
  EXPECT_EQ(module_symbol(module, "NoSuchExport"), nullptr);
  unload_module(module);
}

TEST(ModuleLookup, MissingModulesAndProgramsAreReported) {
  EXPECT_FALSE(find_module("NOSUCHMODULE.DLL"));
  EXPECT_FALSE(find_program("NOSUCHPROGRAM.EXE"));
  std::string error;
  EXPECT_EQ(load_module("NOSUCHMODULE.DLL", &error), nullptr);
  EXPECT_NE(error.find("libnosuchmodule.so"), std::string::npos) << error;
  EXPECT_EQ(find_program("/bin/sh"), "/bin/sh");
  auto sh = find_program("SH.EXE");
  ASSERT_TRUE(sh);
  EXPECT_EQ(sh->substr(sh->size() - 3), "/sh");
}

TEST(Spawn, ReportsExitStatusSignalsAndFailuresToStart) {
  std::string not_executable = zyp::testing::make_temp_folder("spawn") + "/script";
  ASSERT_TRUE(write_file_atomically(not_executable, "#!/bin/sh\nexit 0\n", 0644));
  std::string bad_interpreter = not_executable + "-bad";
  ASSERT_TRUE(write_file_atomically(bad_interpreter, "#!/no/such/interpreter\n", 0755));
  setenv("ZYP_SPAWN_PROBE", "inherited", 1);
  struct Case {
    const char* what;
    std::string program;
    std::vector<std::string> args;
    int status;
  };
  const Case cases[] = {
      {"exit status", "/bin/sh", {"-c", "exit 3"}, 3},
      {"success", "SH.EXE", {"-c", "true"}, 0},
      {"killed by a signal", "/bin/sh", {"-c", "kill -TERM $$"}, 128 + SIGTERM},
      {"environment is inherited", "/bin/sh", {"-c", "test \"$ZYP_SPAWN_PROBE\" = inherited"}, 0},
      {"arguments arrive unsplit", "/bin/sh", {"-c", "test \"$1\" = 'a b'", "sh", "a b"}, 0},
      {"missing program", "NOSUCHPROGRAM.EXE", {}, -1},
      {"not executable", not_executable, {}, -1},
      {"exec fails", bad_interpreter, {}, -1},
  };
  for (const auto& c : cases) EXPECT_EQ(spawn_program(c.program, c.args, true), c.status) << c.what;
}

TEST(Spawn, ChildGetsDefaultHandlingOfSignalsTheParentIgnores) {
  auto previous = signal(SIGPIPE, SIG_IGN);
  int status = spawn_program("/bin/sh", {"-c", "kill -PIPE $$; exit 0"}, true);
  signal(SIGPIPE, previous);
  EXPECT_EQ(status, 128 + SIGPIPE);
}

TEST(Spawn, WithoutWaitingTheCallerReapsTheChild) {
  pid_t child = 0;
  EXPECT_EQ(spawn_program("/bin/sh", {"-c", "exit 5"}, false, &child), 0);
  ASSERT_GT(child, 0);
  EXPECT_EQ(wait_for_program(child), 5);
  EXPECT_EQ(wait_for_program(child), -1) << "already reaped";
}

}  // namespace
}  // namespace zyp::platform
