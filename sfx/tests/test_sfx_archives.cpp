// Archives made by libzypsfx through the real server over the software token,
// opened by the extractor running as a program of its own, with an empty
// environment: what comes back, and what is refused without writing.
#include <elf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "sfx/tests/sfx_test_support.h"
#include "testsupport/test_env.h"
#include "testsupport/ui_script.h"
#include "zyp/softtok.h"
#include "zyp/zypclient.h"
#include "zyp/zypfile.h"
#include "zyp/zypprof.h"
#include "zyp/zypsess.h"
#include "zyp/zypsfx.h"

namespace {

using zyp::sfx::testing::Bytes;
using zyp::sfx::testing::random_bytes;
using zyp::sfx::testing::read_bytes;
using zyp::sfx::testing::write_bytes;

constexpr uint32_t kToken = 0;
constexpr char kPassword[] = "reeds and herons";

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string bin_folder() { return zyp::testing::build_folder() + "/bin"; }

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs `program` with an empty environment, standard input from `input`.
Outcome run_program(const std::string& program, const std::vector<std::string>& args, const std::string& input) {
  std::string base = zyp::testing::make_temp_folder("run");
  write_bytes(base + "/in", text(input));
  pid_t child = ::fork();
  if (child == 0) {
    int in = ::open((base + "/in").c_str(), O_RDONLY);
    int out = ::open((base + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = ::open((base + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(in, 0), ::dup2(out, 1), ::dup2(err, 2);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    char* no_environment[] = {nullptr};
    ::execve(program.c_str(), argv.data(), no_environment);
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  Outcome run;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  Bytes out = read_bytes(base + "/out"), err = read_bytes(base + "/err");
  run.out.assign(out.begin(), out.end());
  run.err.assign(err.begin(), err.end());
  return run;
}

class Archives : public zyp::testing::UiScriptTest {
 protected:
  static void SetUpTestSuite() {
    // The token is set up once (Yes, then the new PIN twice) and the session
    // stays open for every test.
    std::string script = zyp::testing::test_root() + "/ui.script";
    ASSERT_TRUE(zyp::platform::write_file_atomically(
        script, "msgbox 6\ndialog 139 set 1001 \"4321\"\ndialog 139 set 1002 \"4321\"\ndialog 139 click 1\n"));
    ::setenv("ZYP_UI", ("script:" + script).c_str(), 1);
    ASSERT_EQ(ZYPCIPStartPKCS(), 1);
    ASSERT_EQ(ZYPCIPOpenSession(kToken), 1);
  }
  static void TearDownTestSuite() { ZYPCIPShutdownPKCS(); }

  void SetUp() override {
    UiScriptTest::SetUp();
    ASSERT_EQ(ZYPGetSessionState(kToken), 0);
    folder_ = zyp::testing::make_temp_folder("files");
    target_ = zyp::testing::make_temp_folder("target");
  }

  std::string file_with(const std::string& name, const Bytes& contents) {
    std::string path = folder_ + "/" + name;
    write_bytes(path, contents);
    return path;
  }

  static std::string password_answers(const std::string& password = kPassword) {
    return "dialog 129 set 1000 \"" + password + "\"\ndialog 129 set 1001 \"" + password +
           "\"\ndialog 129 click 1\n";
  }

  // An archive of `paths` made through the library's three calls.
  std::string make_archive(const std::vector<std::string>& paths, const std::string& name = "parcel") {
    script(password_answers());
    std::string output = folder_ + "/" + name;
    ZYPSfxContext* context = ZYPCreateAutoExtractTo_Init(output.c_str());
    EXPECT_NE(context, nullptr);
    for (const std::string& path : paths) EXPECT_EQ(ZYPCreateAutoExtract_Update(context, path.c_str()), 0);
    EXPECT_EQ(ZYPCreateAutoExtract_Close(context), 0);
    EXPECT_TRUE(transcript_lines("msgbox").empty()) << transcript_lines("msgbox")[0];
    return output;
  }

  std::string folder_;
  std::string target_;
};

TEST_F(Archives, EveryFileComesBackByteForByte) {
  const std::vector<std::pair<std::string, Bytes>> files = {
      {"empty.txt", {}},
      {"one", {'1'}},
      {"block", random_bytes(32768, 1)},
      {"block-and-one", text(std::string(32769, 'r'))},
      {"notes v2 (final).txt", text("herons, reeds\n")},
  };
  std::vector<std::string> paths;
  for (const auto& [name, contents] : files) paths.push_back(file_with(name, contents));
  std::string archive = make_archive(paths);

  // Any copy of the program works, wherever it lies.
  std::string copy = target_ + "/../copy-of-parcel";
  ASSERT_EQ(::link(archive.c_str(), copy.c_str()), 0);
  Outcome run = run_program(copy, {"-d", target_}, std::string(kPassword) + "\n");
  ASSERT_EQ(run.status, 0) << run.err;
  for (const auto& [name, contents] : files) EXPECT_EQ(read_bytes(target_ + "/" + name), contents) << name;
  EXPECT_EQ(names_in(target_).size(), files.size());

  Outcome list = run_program(archive, {"-l"}, std::string(kPassword) + "\r\n");
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("32769\tblock-and-one\n"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("0\tempty.txt\n"), std::string::npos) << list.out;

  // The default folder is the current one.
  Outcome here = run_program("/bin/sh", {"-c", "cd '" + target_ + "/..' && mkdir here && cd here && '" + archive + "'"},
                         std::string(kPassword) + "\n");
  ASSERT_EQ(here.status, 0) << here.err;
  EXPECT_EQ(read_bytes(target_ + "/../here/one"), Bytes{'1'});
}

TEST_F(Archives, TheExtractorNeedsNoLibraryOfTheSuite) {
  std::string stub = bin_folder() + "/zypsfx16";
  Outcome version = run_program(stub, {"-v"}, "");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("zypsfx16 ", 0), 0u) << version.out;
  EXPECT_EQ(run_program(stub, {"--help"}, "").status, 0);
  EXPECT_EQ(run_program(stub, {"-x"}, "").status, 2);

  Bytes program = read_bytes(stub);
  ASSERT_GE(program.size(), sizeof(Elf64_Ehdr));
  Elf64_Ehdr header;
  std::memcpy(&header, program.data(), sizeof header);
  bool has_interpreter = false;
  for (size_t i = 0; i < header.e_phnum; ++i) {
    Elf64_Phdr segment;
    std::memcpy(&segment, program.data() + header.e_phoff + i * sizeof segment, sizeof segment);
    has_interpreter |= segment.p_type == PT_INTERP;
  }
#ifdef ZYP_STATIC_STUB
  EXPECT_FALSE(has_interpreter) << "zypsfx16 is linked statically";
#endif
  (void)has_interpreter;
}

TEST_F(Archives, RefusedArchivesWriteNothing) {
  std::string archive = make_archive({file_with("letter", text("dear recipient\n"))});
  const Bytes good = read_bytes(archive);
  const Bytes program = read_bytes(bin_folder() + "/zypsfx16");
  ASSERT_GT(good.size(), program.size() + zyp::sfx::kClearPartSize);
  const size_t key_bits_at = program.size() + zyp::sfx::kStartMarker.size();

  auto variant = [&](const std::string& name, Bytes bytes) {
    std::string path = folder_ + "/" + name;
    write_bytes(path, bytes);
    ::chmod(path.c_str(), 0755);
    return path;
  };
  Bytes truncated(good.begin(), good.end() - 5);
  Bytes flipped = good;
  flipped[key_bits_at] ^= 0x10;
  Bytes hostile_region = zyp::sfx::testing::region_start(2);
  zyp::sfx::testing::append_stored_entry(hostile_region, "harmless", text("x"));
  zyp::sfx::testing::append_stored_entry(hostile_region, "../escaped", text("outside"));

  struct Case {
    const char* what;
    std::string archive;
    std::string password;
    const char* says;
  };
  const Case cases[] = {
      {"wrong password", archive, "reeds and heron", "password is wrong"},
      {"no password", archive, "", "password"},
      {"truncated", variant("truncated", truncated), kPassword, "cut short"},
      {"flipped key bits", variant("flipped", flipped), kPassword, "damaged"},
      {"hostile name",
       variant("hostile", zyp::sfx::testing::sealed_archive(program, hostile_region, kPassword, 40)), kPassword,
       "slash"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Outcome run = run_program(c.archive, {"-d", target_}, c.password.empty() ? "" : c.password + "\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_TRUE(names_in(target_).empty());
  }
  EXPECT_FALSE(zyp::platform::read_whole_file(target_ + "/../escaped"));
}

TEST_F(Archives, ExistingFilesAreKeptUnlessOverwriteIsAsked) {
  std::string archive = make_archive({file_with("a", text("new a")), file_with("b", text("new b"))});
  write_bytes(target_ + "/b", text("old b"));
  // A link in the folder under an entry's name is replaced, never followed.
  std::string outside = folder_ + "/outside";
  write_bytes(outside, text("keep"));
  ASSERT_EQ(::symlink(outside.c_str(), (target_ + "/a").c_str()), 0);

  Outcome kept = run_program(archive, {"-d", target_}, std::string(kPassword) + "\n");
  EXPECT_EQ(kept.status, 1);
  EXPECT_NE(kept.err.find("exists"), std::string::npos) << kept.err;
  EXPECT_EQ(read_bytes(target_ + "/b"), text("old b"));

  Outcome replaced = run_program(archive, {"-o", "-d", target_}, std::string(kPassword) + "\n");
  ASSERT_EQ(replaced.status, 0) << replaced.err;
  EXPECT_EQ(read_bytes(target_ + "/a"), text("new a"));
  EXPECT_EQ(read_bytes(target_ + "/b"), text("new b"));
  EXPECT_EQ(read_bytes(outside), text("keep"));
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), names_in(target_));
}

TEST_F(Archives, AFileEncryptedByTheSuiteIsStoredInClearAndEncryptedAgain) {
  uint32_t key = 0;
  ASSERT_EQ(ZYPCIPGenerateKeyFromSentence(kToken, CKM_DES_40_CBC, ZYPCIP_TYPE_ENCRYPTION, "marsh",
                                          "files in the marsh", &key),
            0);
  const Bytes clear = text("the heron's secret nest\n");
  std::string path = file_with("secret", clear);
  FileHeader header;
  std::memset(&header, 0, sizeof header);
  ASSERT_EQ(ZYPFillHeader(&header, CKM_DES_40_CBC, key, 0, "demo"), 0);
  ASSERT_EQ(ZYPCipherFileEx(path.c_str(), &header, 0, 1), 0);
  const Bytes encrypted = read_bytes(path);
  ASSERT_NE(encrypted, clear);

  std::string archive = make_archive({path});
  FileHeader after;
  ASSERT_EQ(ZYPGetFileAttributes(path.c_str(), &after), 0) << "encrypted again on disk";
  EXPECT_EQ(after.Key, key);
  EXPECT_NE(read_bytes(path), clear);

  Outcome run = run_program(archive, {"-d", target_}, std::string(kPassword) + "\n");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(read_bytes(target_ + "/secret"), clear);
}

TEST_F(Archives, StartAsksForTheOutputNameAndChecksTheExtractor) {
  // The save dialog's name, with bytes above 127 replaced by '_'.
  std::string chosen = folder_ + "/caf\xc3\xa9";
  script("browse " + chosen + "\n" + password_answers());
  ZYPSfxContext* context = ZYPCreateAutoExtract_Init();
  ASSERT_NE(context, nullptr);
  ASSERT_EQ(ZYPCreateAutoExtract_Update(context, file_with("tea", text("green")).c_str()), 0);
  ZYPCreateAutoExtract_Close(context);
  EXPECT_TRUE(zyp::platform::read_whole_file(folder_ + "/caf__"));

  script("browse\n");
  EXPECT_EQ(ZYPCreateAutoExtract_Init(), nullptr);
  EXPECT_EQ(ZYPCreateAutoExtract_Update(nullptr, "x"), 0);
  EXPECT_EQ(ZYPCreateAutoExtract_Close(nullptr), 0);

  // An extractor that fails "-v": the user stops (Cancel) or goes on (OK).
  std::string install = zyp::testing::make_temp_folder("install");
  write_bytes(install + "/zypsfx16", text("#!/bin/sh\nexit 3\n"));
  ::chmod((install + "/zypsfx16").c_str(), 0755);
  ASSERT_EQ(ZYPWriteProfileString("General", "InstallPath", install.c_str()), 1);
  script("msgbox 2\n");
  EXPECT_EQ(ZYPCreateAutoExtractTo_Init((folder_ + "/never").c_str()), nullptr);
  ASSERT_EQ(transcript_lines("msgbox").size(), 1u);
  EXPECT_NE(transcript_lines("msgbox")[0].find(install + "/zypsfx16"), std::string::npos);
  script("msgbox 1\n" + password_answers());
  ZYPSfxContext* anyway = ZYPCreateAutoExtractTo_Init((folder_ + "/anyway").c_str());
  EXPECT_NE(anyway, nullptr);
  ZYPCreateAutoExtract_Close(anyway);
  ASSERT_EQ(ZYPWriteProfileString("General", "InstallPath", nullptr), 1);
}

}  // namespace
