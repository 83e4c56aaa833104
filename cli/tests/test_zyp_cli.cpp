// The zyp program run as the user runs it: exit codes, its one-line errors,
// help at every level, the background server, and (with the provider's
// dialogs answered by a script) a login and the key commands.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/tests/zyp_run.h"
#include "platform/atomic_file.h"
#include "zyp/zypfile.h"

namespace {

using namespace std::chrono_literals;
using namespace zyp::testing::cli;
using zyp::testing::cli::zyp;  // the function, not the namespace


TEST_F(ZypCli, UsageErrorsExitWith2AndOneLineNamingTheProblem) {
  const struct {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{}, "missing command"},
      {{"frobnicate"}, "unknown command \"frobnicate\""},
      {{"--frob"}, "unknown option --frob"},
      {{"keys"}, "missing verb"},
      {{"keys", "zap"}, "unknown verb \"zap\""},
      {{"keys", "new"}, "missing NAME"},
      {{"keys", "new", "k"}, "missing --algorithm"},
      {{"keys", "new", "k", "--algorithm"}, "--algorithm ALGORITHM needs a value"},
      {{"keys", "new", "k", "--algorithm", kAlgorithm, "--from-sentence=yes"}, "takes no value"},
      {{"keys", "new", "", "--algorithm", kAlgorithm}, "the key name is empty"},
      {{"keys", "new", "   ", "--algorithm", kAlgorithm}, "the key name is blank"},
      {{"keys", "new", " \t ", "--algorithm", kAlgorithm, "--from-sentence"}, "the key name is blank"},
      {{"keys", "new", std::string(256, 'n'), "--algorithm", kAlgorithm}, "longer than 255 bytes"},
      {{"keys", "list", "--bogus"}, "unknown option --bogus"},
      {{"keys", "list", "extra"}, "unexpected argument \"extra\""},
      {{"keys", "delete", "12345678Z"}, "hexadecimal"},
      {{"keys", "delete", "123456789"}, "hexadecimal"},
      {{"keys", "test", "-1"}, "unknown option -1"},
      {{"token", "status", "--token", "x1"}, "token number"},
      {{"token", "login", "--token", "99999999999"}, "token number"},
      {{"server", "stop", "--foreground"}, "unknown option --foreground"},
  };
  for (const auto& c : cases) {
    Outcome run = zyp(c.args);
    SCOPED_TRACE(c.says);
    EXPECT_EQ(run.exit_code, 2) << run;
    EXPECT_EQ(line_count(run.err), 1u) << run;
    EXPECT_TRUE(run.err.starts_with("zyp")) << run;
    EXPECT_TRUE(contains(run.err, c.says)) << run;
    EXPECT_TRUE(run.out.empty()) << run;
  }
  EXPECT_FALSE(server_runs());  // a bad command line starts nothing
}

TEST_F(ZypCli, EveryLevelAndEveryListedCommandHasHelp) {
  Outcome top = zyp({"--help"});
  ASSERT_EQ(top.exit_code, 0) << top;
  std::vector<std::vector<std::string>> asks = {{"-h"}, {"server", "--help"}, {"token", "-h"}, {"keys", "--help"},
                                                {"keys", "new", "--help"}, {"keys", "delete", "x", "extra", "-h"}};
  std::istringstream lines(top.out.substr(top.out.find("Commands:\n") + 10));
  for (std::string line; std::getline(lines, line) && !line.empty();) {
    std::istringstream words(line);
    std::string noun, verb;
    words >> noun >> verb;
    asks.push_back({noun, verb, "--help"});
  }
  ASSERT_GE(asks.size(), 15u);  // every command of the three nouns
  for (const auto& args : asks) {
    Outcome run = zyp(args);
    SCOPED_TRACE(args[0] + " " + (args.size() > 1 ? args[1] : ""));
    EXPECT_EQ(run.exit_code, 0) << run;
    EXPECT_TRUE(run.out.starts_with("usage: zyp")) << run;
    EXPECT_TRUE(run.err.empty()) << run;
  }
  Outcome version = zyp({"--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_TRUE(version.out.starts_with("zyp ")) << version;
}

TEST_F(ZypCli, AStartedServerOutlivesZypAndItsIdleTimeUntilStopped) {
  ::setenv("ZYP_TEST_SERVER_IDLE_MS", "1500", 1);  // the heartbeat comes every second
  EXPECT_EQ(zyp({"server", "status"}).out, "not running\n");

  Outcome start = zyp({"server", "start"});
  ASSERT_EQ(start.exit_code, 0) << start;
  std::this_thread::sleep_for(3s);  // twice the idle time
  EXPECT_TRUE(server_runs());
  Outcome algorithms = zyp({"keys", "algorithms"});
  EXPECT_EQ(algorithms.exit_code, 0) << algorithms;
  EXPECT_TRUE(contains(algorithms.out, std::string("\tencryption\t") + kAlgorithm + "\n")) << algorithms;

  Outcome again = zyp({"server", "start"});
  EXPECT_EQ(again.exit_code, 0) << again;
  EXPECT_TRUE(contains(again.out, "running already")) << again;

  Outcome stop = zyp({"server", "stop"});
  EXPECT_EQ(stop.exit_code, 0) << stop;
  EXPECT_FALSE(server_runs());
  Outcome stop_again = zyp({"server", "stop"});
  EXPECT_EQ(stop_again.exit_code, 0) << stop_again;
  EXPECT_TRUE(contains(stop_again.out, "no provider server was running")) << stop_again;
}

TEST_F(ZypCli, KeyCommandsStartTheServerThemselves) {
  Outcome run = zyp({"keys", "algorithms"});
  EXPECT_EQ(run.exit_code, 0) << run;
  EXPECT_TRUE(contains(run.err, "started the provider server")) << run;
  EXPECT_TRUE(server_runs());
}

TEST_F(ZypCli, WithoutALoginKeyCommandsFailWithOneLineSayingHowToLogIn) {
  ASSERT_EQ(zyp({"server", "start"}).exit_code, 0);
  const std::vector<std::string> commands[] = {
      {"keys", "list"},
      {"keys", "test", "1234ABCD"},
      {"keys", "new", "k", "--algorithm", kAlgorithm, "--from-sentence"},
      {"token", "passwd"},
  };
  for (const auto& args : commands) {
    Outcome run = zyp(args, "never read\nnever read\n");
    SCOPED_TRACE(args[1]);
    EXPECT_EQ(run.exit_code, 1) << run;
    EXPECT_EQ(line_count(run.err), 1u) << run;
    EXPECT_TRUE(contains(run.err, "no logged-in session on token 0")) << run;
    EXPECT_TRUE(contains(run.err, "run `zyp token login`")) << run;
  }
  Outcome list = zyp({"keys", "list"});
  EXPECT_TRUE(contains(list.err, "zyp: cannot list keys: no logged-in session on token 0 (code 8)")) << list;

  Outcome other = zyp({"keys", "list", "--token", "7"});
  EXPECT_EQ(other.exit_code, 1) << other;
  EXPECT_TRUE(contains(other.err, "there is no token 7")) << other;
  Outcome logout = zyp({"token", "logout"});
  EXPECT_EQ(logout.exit_code, 0) << logout;
}

TEST_F(ZypCli, AnUnknownAlgorithmIsNamedInTheError) {
  Outcome run = zyp({"keys", "new", "k", "--algorithm", "Rot13"});
  EXPECT_EQ(run.exit_code, 1) << run;
  EXPECT_TRUE(contains(run.err, "no algorithm \"Rot13\"")) << run;
}

TEST_F(ZypCli, AMissingTokenModuleIsNamedInTheErrorAndInTheServersLog) {
  std::string module = folder_ + "/gone/libsofttok.so";
  ASSERT_TRUE(zyp::platform::write_file_atomically(
      std::string(::getenv("ZYP_MACHINE_DIR")) + "/HKLM.reg",
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillmarsh\\General]\n\"SOFTTOK\"=\"" + module + "\"\n"));
  for (const std::vector<std::string>& args : {std::vector<std::string>{"keys", "list"}, {"token", "login"}}) {
    Outcome run = zyp(args);
    SCOPED_TRACE(args[0] + " " + args[1]);
    EXPECT_EQ(run.exit_code, 1) << run;
    EXPECT_EQ(line_count(run.err), 1u + contains(run.err, "started the provider server")) << run;
    EXPECT_TRUE(contains(run.err, "the provider cannot load the token module \"" + module + "\" (code 20)")) << run;
    EXPECT_FALSE(contains(run.err, "zyp token login")) << run;
  }
  std::string log = zyp::platform::read_whole_file(std::string(::getenv("ZYP_RUNTIME_DIR")) + "/zypserver.log")
                        .value_or("(no log)");
  EXPECT_TRUE(contains(log, "zypserver: the crypto provider is unusable: the token module \"" + module +
                                "\" cannot be loaded: " + module))
      << log;
}

// Initialising the token wipes it: without a user the question is answered No.
TEST_F(ZypCli, WithoutAUserANeverSetUpTokenIsNotInitialised) {
  std::string transcript = folder_ + "/transcript";
  ::setenv("ZYP_UI", "none", 1);
  ::setenv("ZYP_UI_TRANSCRIPT", transcript.c_str(), 1);
  Outcome login = zyp({"token", "login"});
  ::unsetenv("ZYP_UI_TRANSCRIPT");
  EXPECT_EQ(login.exit_code, 1) << login;
  std::string shown = zyp::platform::read_whole_file(transcript).value_or("");
  EXPECT_TRUE(contains(shown, "it has never been set up")) << shown;
  EXPECT_TRUE(contains(shown, " -> 7\n")) << shown;
  EXPECT_FALSE(contains(shown, "dialog 139")) << shown;
  struct stat store {};
  EXPECT_NE(::stat((std::string(::getenv("ZYP_MACHINE_DIR")) + "/data/ambrel.ksl").c_str(), &store), 0);
}

// ---- With a logged-in session --------------------------------------------------

TEST_F(ZypLoggedIn, ASentenceKeyIsListedEncryptsAndDecryptsAndIsDeletedOnlyWhenConfirmed) {
  std::string line = std::string(kSentence) + "\n";
  Outcome created;
  std::string key = new_sentence_key("demo key", line + line, &created);
  ASSERT_EQ(created.exit_code, 0) << created;
  ASSERT_EQ(key.size(), 8u) << created;
  EXPECT_EQ(key.find_first_not_of("0123456789ABCDEF"), std::string::npos) << key;

  Outcome list = zyp({"keys", "list"});
  EXPECT_EQ(list.exit_code, 0) << list;
  EXPECT_TRUE(list.out.starts_with("key\tlabel\talgorithms\n")) << list;
  EXPECT_TRUE(contains(list.out, key + "\tdemo key\t" + kAlgorithm + "\n")) << list;

  Outcome test = zyp({"keys", "test", key});
  EXPECT_EQ(test.exit_code, 0) << test;
  EXPECT_TRUE(contains(test.out, "the original came back")) << test;

  Outcome unconfirmed = zyp({"keys", "delete", key});
  EXPECT_EQ(unconfirmed.exit_code, 2) << unconfirmed;
  EXPECT_TRUE(contains(unconfirmed.err, "--yes")) << unconfirmed;
  EXPECT_TRUE(contains(zyp({"keys", "list"}).out, key)) << "kept without a confirmation";

  Outcome deleted = zyp({"keys", "delete", key, "--yes"});
  EXPECT_EQ(deleted.exit_code, 0) << deleted;
  EXPECT_FALSE(contains(zyp({"keys", "list"}).out, key));
  Outcome gone = zyp({"keys", "delete", key, "--yes"});
  EXPECT_EQ(gone.exit_code, 1) << gone;
  EXPECT_TRUE(contains(gone.err, "token 0 has no key " + key)) << gone;
  EXPECT_EQ(zyp({"keys", "test", key}).exit_code, 1);
}

TEST_F(ZypLoggedIn, SentencesMustBeTypedTwiceAlikeAndMakeNoKeyOtherwise) {
  std::string line = std::string(kSentence) + "\n";
  ASSERT_FALSE(new_sentence_key("first", line + line).empty());
  const struct {
    std::string input;
    const char* says;
  } cases[] = {
      {line + "another sentence\n", "the two sentences differ"},
      {"", "the input ended before the sentence"},
      {line, "the sentence's confirmation is missing"},
      {"\n\n", "the sentence is empty"},
      {line + line, "a key with the same value exists already (code 19)"},
  };
  for (const auto& c : cases) {
    Outcome run;
    new_sentence_key("second", c.input, &run);
    SCOPED_TRACE(c.says);
    EXPECT_EQ(run.exit_code, 1) << run;
    EXPECT_EQ(line_count(run.err), 1u) << run;
    EXPECT_TRUE(contains(run.err, c.says)) << run;
  }
  EXPECT_FALSE(contains(zyp({"keys", "list"}).out, "second"));

  // A sentence written with CR LF line ends gives the same key.
  Outcome crlf;
  new_sentence_key("third", std::string(kSentence) + "\r\n" + kSentence + "\r\n", &crlf);
  EXPECT_TRUE(contains(crlf.err, "(code 19)")) << crlf;
}

TEST_F(ZypLoggedIn, RandomKeysDifferAndLogoutEndsTheSession) {
  Outcome first = zyp({"keys", "new", "one", "--algorithm", kAlgorithm});
  Outcome second = zyp({"keys", "new", "two", "--algorithm", "des 40 BITS"});
  ASSERT_EQ(first.exit_code, 0) << first;
  ASSERT_EQ(second.exit_code, 0) << second;
  EXPECT_NE(first.out, second.out);

  EXPECT_TRUE(contains(zyp({"token", "status"}).out, "0\tyes\topen\t")) << "logged in";
  Outcome again = zyp({"token", "login"});
  EXPECT_EQ(again.exit_code, 0) << again;
  EXPECT_TRUE(contains(again.out, "logged in already")) << again;

  Outcome logout = zyp({"token", "logout"});
  EXPECT_EQ(logout.exit_code, 0) << logout;
  EXPECT_TRUE(contains(zyp({"token", "status"}).out, "0\tyes\tnone\t"));
  Outcome list = zyp({"keys", "list"});
  EXPECT_EQ(list.exit_code, 1) << list;
  EXPECT_TRUE(contains(list.err, "run `zyp token login`")) << list;
}

// Logging out of a token without a session (here one that does not exist)
// closes nothing, so token 0's keys stay usable by their identifiers.
TEST_F(ZypLoggedIn, LoggingOutOfAnotherTokenLeavesThisTokensKeysUsable) {
  Outcome created = zyp({"keys", "new", "kept", "--algorithm", kAlgorithm});
  ASSERT_EQ(created.exit_code, 0) << created;
  std::string key = created.out.substr(0, 8);

  Outcome other = zyp({"token", "logout", "--token", "7"});
  EXPECT_EQ(other.exit_code, 0) << other;
  EXPECT_TRUE(contains(other.out, "token 7: not logged in (no session to close)")) << other;
  EXPECT_TRUE(contains(zyp({"token", "status"}).out, "0\tyes\topen\t"));

  Outcome test = zyp({"keys", "test", key, "--algorithm", kAlgorithm});
  EXPECT_EQ(test.exit_code, 0) << test;
  Outcome unknown = zyp({"keys", "test", "0BADF00D", "--algorithm", kAlgorithm});
  EXPECT_EQ(unknown.exit_code, 1) << unknown;
  EXPECT_TRUE(contains(unknown.err, std::string("token 0 has no key 0BADF00D for ") + kAlgorithm)) << unknown;
  Outcome deleted = zyp({"keys", "delete", key, "--yes"});
  EXPECT_EQ(deleted.exit_code, 0) << deleted;
  EXPECT_FALSE(contains(zyp({"keys", "list"}).out, key));
}

TEST_F(ZypLoggedIn, OnATerminalTheSentenceIsNotEchoedAndADeletionIsConfirmed) {
  OnTerminal create({"keys", "new", "typed", "--algorithm", kAlgorithm, "--from-sentence"});
  ASSERT_TRUE(create.answer("Sentence: ", kSentence));
  ASSERT_TRUE(create.answer("Sentence again: ", kSentence));
  EXPECT_EQ(create.finish(), 0) << create.output();
  EXPECT_FALSE(contains(create.output(), kSentence)) << create.output();

  std::string list = zyp({"keys", "list"}).out;
  size_t row = list.find("\ttyped\t");
  ASSERT_NE(row, std::string::npos) << list;
  std::string key = list.substr(row - 8, 8);
  const struct {
    const char* typed;
    int exit_code;
  } answers[] = {{"n", 1}, {"", 1}, {"yes", 0}};
  for (const auto& a : answers) {
    OnTerminal remove({"keys", "delete", key});
    ASSERT_TRUE(remove.answer("[y/N] ", a.typed));
    EXPECT_EQ(remove.finish(), a.exit_code) << a.typed << ": " << remove.output();
  }
  EXPECT_FALSE(contains(zyp({"keys", "list"}).out, key));
}

TEST_F(ZypLoggedIn, PasswdChangesThePinThatTheNextLoginTakes) {
  std::string script = folder_ + "/answers";
  std::string more = *zyp::platform::read_whole_file(script) +
                     "dialog 105 set 1000 \"4321\"\n"
                     "dialog 105 set 1001 \"9876\"\n"
                     "dialog 105 set 1002 \"9876\"\n"
                     "dialog 105 click 1\n"
                     "dialog 129 set 1000 \"9876\"\n"
                     "dialog 129 click 1\n";
  ASSERT_TRUE(zyp::platform::write_file_atomically(script, more));  // appended lines follow the ones taken

  Outcome passwd = zyp({"token", "passwd"});
  EXPECT_EQ(passwd.exit_code, 0) << passwd;
  EXPECT_TRUE(contains(passwd.out, "token 0: PIN changed")) << passwd;
  ASSERT_EQ(zyp({"token", "logout"}).exit_code, 0);
  Outcome login = zyp({"token", "login"});
  EXPECT_EQ(login.exit_code, 0) << login;
  EXPECT_TRUE(contains(*zyp::platform::read_whole_file(transcript_), "dialog 129 end 0"));
}

// A running server with a logged-in session names the header's key and algorithm.
TEST_F(ZypLoggedIn, InfoNamesTheKeyAndAlgorithmOfAnEncryptedFile) {
  Outcome created = zyp({"keys", "new", "holiday key", "--algorithm", kAlgorithm});
  ASSERT_EQ(created.exit_code, 0) << created;
  std::string key = created.out.substr(0, 8);
  std::string algorithms = zyp({"keys", "algorithms"}).out;
  size_t row = algorithms.find(std::string("\tencryption\t") + kAlgorithm + "\n");
  ASSERT_NE(row, std::string::npos) << algorithms;
  std::string mechanism = algorithms.substr(row - 10, 10);

  const struct {
    std::string key;
    std::string label;
  } cases[] = {{key, "holiday key"}, {"0BADF00D", "(not in token 0)"}};
  for (const auto& c : cases) {
    FileHeader header{};
    ASSERT_EQ(ZYPFillHeader(&header, std::stoul(mechanism, nullptr, 16), std::stoul(c.key, nullptr, 16), 0, "x"), 0);
    std::string file = folder_ + "/encrypted-" + c.key;
    ASSERT_TRUE(zyp::platform::write_file_atomically(
        file, std::string(reinterpret_cast<const char*>(&header), sizeof header) + std::string(20, '\0')));
    Outcome info = zyp({"info", file});
    EXPECT_EQ(info.exit_code, 0) << info;
    EXPECT_TRUE(contains(info.out, "  key: " + c.key + "\n  key label: " + c.label + "\n  algorithm: " + kAlgorithm +
                                       " (" + mechanism + ")\n"))
        << info;
  }
}

}  // namespace
