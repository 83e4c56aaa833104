#pragma once
// The user-interface host in tests. A library makes its host once per process
// from $ZYP_UI and $ZYP_UI_TRANSCRIPT, so every test of a program uses the
// same two files: each test writes a new script (its first line names the
// test, so the script position starts again at the top) and starts with an
// empty transcript.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/atomic_file.h"
#include "testsupport/test_env.h"

namespace zyp::testing {

class UiScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string& root = zyp::testing::test_root();
    script_ = root + "/ui.script";
    transcript_ = root + "/ui.transcript";
    setenv("ZYP_UI", ("script:" + script_).c_str(), 1);
    setenv("ZYP_UI_TRANSCRIPT", transcript_.c_str(), 1);
    std::remove(transcript_.c_str());
    script("");
  }

  // The user's actions for this test (SCRIPT_FORMAT.txt).
  void script(const std::string& actions) {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string text = "# " + std::string(test->test_suite_name()) + "." + test->name() + "\n" + actions;
    ASSERT_TRUE(platform::write_file_atomically(script_, text));
  }
  // Actions added while the script is in use are taken after the others.
  void append_to_script(const std::string& actions) {
    std::string text = platform::read_whole_file(script_).value_or("") + actions;
    ASSERT_TRUE(platform::write_file_atomically(script_, text));
  }

  std::vector<std::string> transcript() const {
    std::vector<std::string> lines;
    std::string text = platform::read_whole_file(transcript_).value_or("");
    for (size_t start = 0; start < text.size();) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      lines.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    return lines;
  }
  // The transcript lines that start with `prefix`, in order.
  std::vector<std::string> transcript_lines(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const std::string& line : transcript()) {
      if (line.starts_with(prefix)) found.push_back(line);
    }
    return found;
  }
  bool transcript_has(const std::string& line) const {
    for (const std::string& recorded : transcript()) {
      if (recorded == line) return true;
    }
    return false;
  }

  std::string script_;
  std::string transcript_;
};

}  // namespace zyp::testing
