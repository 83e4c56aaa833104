// zyp encrypt and zyp decrypt run as the user runs them, through the real
// server and token: files in place and into other files, refusals that leave
// everything as it was, and folder trees with the hook's request server
// encrypting what another program saves into them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "cli/tests/zyp_run.h"
#include "hook/tests/hook_fixtures.h"
#include "platform/hookdev/device.h"
#include "zyp/zypfile.h"
#include "zyp/zypprof.h"

namespace {

using namespace std::chrono_literals;
using namespace zyp::testing::cli;
using zyp::testing::cli::zyp;  // the function, not the namespace
using zyp::testing::eventually;
using zyp::testing::write;
namespace hookdev = zyp::hookdev;

constexpr uint32_t kDes40 = 0x80000103;

std::string contents_of(const std::string& path) { return zyp::platform::read_whole_file(path).value_or("(missing)"); }

ino_t inode_of(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

bool encrypted(const std::string& path) {
  FileHeader header{};
  return ZYPGetFileAttributes(path.c_str(), &header) == 0;
}

std::string text_sample() {
  std::string text;
  while (text.size() < 200000) text += "the quill writes in the marsh, line after line. ";
  return text;
}

class ZypCiphers : public ZypLoggedIn {
 protected:
  void SetUp() override {
    ZypLoggedIn::SetUp();
    if (HasFatalFailure()) return;
    // The hook watches the drive-C folder: keep it to this test's folder.
    ASSERT_EQ(ZYPWriteProfileString("Drives", "C", folder_.c_str()), 1);
    std::string line = std::string(kSentence) + "\n";
    key_ = new_sentence_key("files", line + line);
    ASSERT_EQ(key_.size(), 8u);
  }
  void TearDown() override {
    zyp({"hook", "stop"});
    ZypLoggedIn::TearDown();
  }

  std::string path(const std::string& name) const { return folder_ + "/" + name; }

  std::string key_;
};

TEST_F(ZypCiphers, FilesComeBackByteForByteInPlaceAndThroughAnotherFile) {
  const struct {
    const char* name;
    std::vector<std::string> options;  // after --key
    bool by_label;
    std::string contents;
    const char* info_says;
  } cases[] = {
      {"plain", {}, false, "a short letter", "options: 0x00000002 (check value)"},
      {"empty", {"--quiet"}, true, "", "plain length: 0 bytes"},
      {"compressed", {"--compress"}, false, text_sample(), "(compressed, check value)"},
      {"labelled", {"--label", "holiday"}, true, "postcard", "label: \"holiday\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = path(c.name), link = path(std::string(c.name) + ".link");
    ASSERT_TRUE(write(file, c.contents));
    ASSERT_EQ(::link(file.c_str(), link.c_str()), 0);
    ino_t inode = inode_of(file);
    std::vector<std::string> args{"encrypt", file, "--key", c.by_label ? "files" : key_};
    args.insert(args.end(), c.options.begin(), c.options.end());
    Outcome run = zyp(args);
    ASSERT_EQ(run.exit_code, 0) << run;
    EXPECT_EQ(run.out, "encrypted " + file + "\n");
    EXPECT_TRUE(encrypted(file));
    EXPECT_EQ(inode_of(file), inode) << "rewritten in place";
    EXPECT_EQ(contents_of(link), contents_of(file)) << "the hard link sees the encrypted contents";
    Outcome info = zyp({"info", file});
    EXPECT_TRUE(contains(info.out, c.info_says)) << info;
    EXPECT_TRUE(contains(info.out, "key: " + key_ + "\n  key label: files\n")) << info;

    Outcome back = zyp({"decrypt", file});
    ASSERT_EQ(back.exit_code, 0) << back;
    EXPECT_EQ(contents_of(file), c.contents);
    EXPECT_EQ(inode_of(file), inode);
  }

  // Into another file: the source stays as it is; a folder as --to takes the name.
  std::string source = path("source"), sealed = path("sealed"), out = path("out");
  ASSERT_TRUE(write(source, "kept as it is"));
  ASSERT_EQ(::mkdir(out.c_str(), 0700), 0);
  Outcome to = zyp({"encrypt", source, "--key", key_, "--to", sealed});
  ASSERT_EQ(to.exit_code, 0) << to;
  EXPECT_EQ(to.out, "encrypted " + source + " into " + sealed + "\n");
  EXPECT_EQ(contents_of(source), "kept as it is");
  EXPECT_TRUE(encrypted(sealed));
  Outcome from = zyp({"decrypt", sealed, "--to", out});
  ASSERT_EQ(from.exit_code, 0) << from;
  EXPECT_EQ(contents_of(out + "/sealed"), "kept as it is");
  EXPECT_TRUE(encrypted(sealed));
}

TEST_F(ZypCiphers, OnATerminalLargeFilesShowProgressUnlessQuiet) {
  ::setenv("ZYP_UI", "tty", 1);  // as without ZYP_UI on a terminal (the server keeps its own)
  const struct {
    size_t size;
    bool quiet;
    bool shown;
  } cases[] = {{5 << 20, false, true}, {5 << 20, true, false}, {1000, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + (c.quiet ? " quiet" : ""));
    std::string file = path("file" + std::to_string(c.size) + (c.quiet ? "q" : ""));
    ASSERT_TRUE(write(file, std::string(c.size, 'p')));
    for (const char* verb : {"encrypt", "decrypt"}) {
      std::vector<std::string> args{verb, file};
      if (std::string(verb) == "encrypt") args.insert(args.end(), {"--key", key_});
      if (c.quiet) args.push_back("--quiet");
      OnTerminal run(args);
      EXPECT_EQ(run.finish(), 0) << run.output();
      EXPECT_EQ(contains(run.output(), "100%"), c.shown) << run.output();
    }
    EXPECT_EQ(contents_of(file), std::string(c.size, 'p'));
  }
  ::setenv("ZYP_UI", "none", 1);
}

TEST_F(ZypCiphers, RefusalsSayWhatToDoAndChangeNothing) {
  std::string plain = path("plain"), sealed = path("sealed"), taken = path("taken");
  ASSERT_TRUE(write(plain, "plain words"));
  ASSERT_TRUE(write(taken, "already here"));
  ASSERT_TRUE(write(sealed, "to be sealed"));
  ASSERT_EQ(zyp({"encrypt", sealed, "--key", key_}).exit_code, 0);
  // A changed byte in the body: the check value no longer matches.
  std::string damaged = contents_of(sealed);
  damaged[damaged.size() - 3] ^= 0x40;
  ASSERT_TRUE(write(sealed, damaged));

  const struct {
    std::vector<std::string> args;
    int exit_code;
    const char* says;
  } cases[] = {
      {{"encrypt", plain, "--key", "nobody"}, 1, "has no encryption key \"nobody\" (see `zyp keys list`)"},
      {{"encrypt", plain}, 2, "missing --key"},
      {{"encrypt", plain, "--key", key_, "--label", std::string(17, 'l')}, 2, "--label holds at most 16 bytes"},
      {{"encrypt", plain, "--key", key_, "--to", taken}, 1, "exists; remove it or choose another name"},
      {{"encrypt", plain, sealed, "--key", key_, "--to", taken}, 2, "--to names an existing folder"},
      {{"encrypt", path("missing"), plain, "--key", key_}, 1, "no such file or folder; nothing was changed"},
      {{"encrypt", folder_, "--key", key_, "--to", path("elsewhere")}, 1, "--to takes files only"},
      {{"decrypt", plain}, 1, "not an encrypted file (code 44)"},
      {{"decrypt", sealed}, 1, "its check value does not match (code 1); nothing was changed"},
      {{"decrypt", sealed, "--to", path("fresh")}, 1, "its check value does not match (code 1)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    Outcome run = zyp(c.args);
    EXPECT_EQ(run.exit_code, c.exit_code) << run;
    EXPECT_EQ(line_count(run.err), 1u) << run;
    EXPECT_TRUE(contains(run.err, c.says)) << run;
    EXPECT_EQ(contents_of(plain), "plain words");
    EXPECT_EQ(contents_of(taken), "already here");
    EXPECT_EQ(contents_of(sealed), damaged);
    EXPECT_FALSE(zyp::platform::read_whole_file(path("fresh"))) << "a destination made for a failed operation goes";
  }
}

TEST_F(ZypCiphers, WithoutASessionEncryptSaysHowToLogIn) {
  ASSERT_EQ(zyp({"token", "logout"}).exit_code, 0);
  std::string plain = path("plain");
  ASSERT_TRUE(write(plain, "plain words"));
  Outcome run = zyp({"encrypt", plain, "--key", key_});
  EXPECT_EQ(run.exit_code, 1) << run;
  EXPECT_TRUE(contains(run.err, "no logged-in session on token 0; run `zyp token login`")) << run;
  EXPECT_EQ(contents_of(plain), "plain words");
}

// The whole round: a tree encrypted and marked, a file saved into it by
// another program encrypted by the hook's request server, a file decrypted on
// purpose left clear, the tree decrypted back to its bytes.
TEST_F(ZypCiphers, AnEncryptedFolderEncryptsWhatIsSavedIntoItWhileTheHookRuns) {
  std::string tree = path("tree");
  ASSERT_EQ(::mkdir(tree.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((tree + "/sub").c_str(), 0700), 0);
  const std::map<std::string, std::string> original{
      {"/letter", "dear reader"}, {"/sub/table", text_sample()}, {"/sub/empty", ""}};
  for (const auto& [name, contents] : original) ASSERT_TRUE(write(tree + name, contents));

  Outcome run = zyp({"encrypt", tree, "--key", "files", "--label", "tree"});
  ASSERT_EQ(run.exit_code, 0) << run;
  EXPECT_EQ(run.out, "encrypted folder " + tree + " (3 files)\n");
  for (const auto& [name, contents] : original) EXPECT_TRUE(encrypted(tree + name)) << name;
  Outcome info = zyp({"info", tree + "/sub"});
  EXPECT_TRUE(contains(info.out, "state: folder marked for encryption\n  key: " + key_)) << info;
  Outcome again = zyp({"encrypt", tree, "--key", key_});
  EXPECT_EQ(again.exit_code, 1) << again;
  EXPECT_TRUE(contains(again.err, "already marked for encryption (code 43)")) << again;

  ASSERT_EQ(zyp({"hook", "start"}).exit_code, 0);
  std::string saved = tree + "/sub/saved.txt";
  std::string command = "printf 'saved by an editor' > '" + saved + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_TRUE(eventually([&] { return encrypted(saved); }, 15s)) << "the hook encrypts a file saved into the folder";

  ASSERT_EQ(zyp({"decrypt", tree + "/letter"}).exit_code, 0);
  command = "printf ', and more' >> '" + tree + "/letter'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_FALSE(eventually([&] { return encrypted(tree + "/letter"); }, 4s)) << "decrypted on purpose: stays clear";

  Outcome back = zyp({"decrypt", tree});
  ASSERT_EQ(back.exit_code, 0) << back;
  EXPECT_EQ(back.out, "decrypted folder " + tree + " (4 files)\n");
  EXPECT_EQ(contents_of(tree + "/letter"), "dear reader, and more");
  EXPECT_EQ(contents_of(tree + "/sub/table"), original.at("/sub/table"));
  EXPECT_EQ(contents_of(tree + "/sub/empty"), "");
  EXPECT_EQ(contents_of(saved), "saved by an editor");
  EXPECT_TRUE(contains(zyp({"info", tree}).out, "not marked for encryption"));
}

TEST_F(ZypCiphers, FolderCheckTellsWhatMayBeDoneAndChangesNothing) {
  std::string marked = path("marked"), foreign = path("foreign"), excluded = path("excluded");
  for (const std::string& folder : {marked, foreign, excluded}) ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  ASSERT_TRUE(write(marked + "/one", "one"));
  ASSERT_EQ(zyp({"encrypt", marked, "--key", key_}).exit_code, 0);
  // A file encrypted with a key that this token does not hold.
  ASSERT_TRUE(write(foreign + "/theirs", zyp::testing::encrypted_contents(
                                             zyp::testing::header_with(kDes40, 0x0BADF00D, 2, "theirs"))));
  ASSERT_EQ(zyp({"exclude", "add", excluded}).exit_code, 0);

  Outcome run = zyp({"folder", "check", marked, foreign, excluded, "/"});
  EXPECT_EQ(run.exit_code, 0) << run;
  const std::string expected[] = {
      marked + "\n  encryption: refused: the folder is already marked for encryption (code 43)",
      "  decryption: allowed\n  encrypted files inside: none, or all can be decrypted now\n",
      foreign + "\n  encryption: allowed\n  decryption: refused: the folder is not marked for encryption (code 44)\n"
                "  encrypted files inside: not all can be decrypted now: its key is not in the token (code 17)",
      excluded + "\n  encryption: refused: not allowed here (code 49)",
      "/\n  encryption: refused: not allowed here (code 49)",
      "  encrypted files inside: not looked at: the folder may not be converted\n",
  };
  for (const std::string& part : expected) EXPECT_TRUE(contains(run.out, part)) << part << "\nin:\n" << run;
  EXPECT_TRUE(encrypted(marked + "/one"));
}

// The requests that the hook queues for its server, served by the file
// library through the real server and token.
TEST_F(ZypCiphers, TheHookRequestServerCarriesOutEachRequestWithTheFileLibrary) {
  std::string tree = path("tree"), loose = path("loose"), quiet = path("quiet"), doomed = path("doomed");
  ASSERT_EQ(::mkdir(tree.c_str(), 0700), 0);
  ASSERT_TRUE(write(tree + "/inside", "inside the tree"));
  ASSERT_TRUE(write(loose, "loose file"));
  ASSERT_TRUE(write(quiet, "decrypted without telling the hook"));
  ASSERT_TRUE(write(doomed, "to be erased"));
  ASSERT_EQ(zyp({"encrypt", loose, quiet, "--key", key_}).exit_code, 0);
  ASSERT_EQ(zyp({"hook", "start"}).exit_code, 0);
  auto device = hookdev::Device::open();
  ASSERT_TRUE(device);

  uint32_t key = static_cast<uint32_t>(std::stoul(key_, nullptr, 16));
  auto request = [&](uint32_t code, const std::string& target, FileHeader header,
                     uint32_t expected) -> ::testing::AssertionResult {
    hookdev::HookRequest queued{};
    queued.code = code;
    hookdev::copy_path_field(queued.path, target.c_str());
    queued.header = header;
    uint32_t before = device->last_served().count;
    if (!device->queue_request(queued)) return ::testing::AssertionFailure() << "not queued";
    bool served = eventually(
        [&] {
          auto last = device->last_served();
          return last.count > before && last.code == code && last.path == target;
        },
        20s);
    auto last = device->last_served();
    if (served && last.result == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "request " << code << (served ? " answered " : " unanswered, last ") << "code " << last.code << " result "
                                         << last.result << " for " << last.path;
  };
  FileHeader ours = zyp::testing::header_with(kDes40, key, 0, "req");
  FileHeader unknown = zyp::testing::header_with(kDes40, key ^ 1, 0, "req");

  EXPECT_TRUE(request(hookdev::kRequestAskValidHeader, "", ours, 0));
  EXPECT_TRUE(request(hookdev::kRequestAskValidHeader, "", unknown, ZYPFILE_UNKNOWN_KEY));
  EXPECT_TRUE(request(hookdev::kRequestLongPath, loose, {}, 0));
  EXPECT_TRUE(request(hookdev::kRequestCipherFolder, tree, ours, 0));
  EXPECT_TRUE(encrypted(tree + "/inside"));
  EXPECT_TRUE(request(hookdev::kRequestScanFolder, tree, {}, 0));
  EXPECT_TRUE(request(hookdev::kRequestDecipher, loose, {}, 0));
  EXPECT_EQ(contents_of(loose), "loose file");
  EXPECT_TRUE(request(hookdev::kRequestSyncDecipher, quiet, {}, 0));
  EXPECT_EQ(contents_of(quiet), "decrypted without telling the hook");
  EXPECT_TRUE(request(hookdev::kRequestErase, doomed, {}, 0));
  EXPECT_FALSE(zyp::platform::read_whole_file(doomed).has_value());
}

}  // namespace
