// The progress window: what the transcript shows of it, the user's Cancel,
// and calls on a window that is gone.
#include <cmath>
#include <limits>
#include <thread>

#include "platform/ui/ui.h"
#include "testsupport/ui_script.h"
#include "zyp/zyptools.h"

namespace zyp::tools::testing {
namespace {

using ProgressWindow = zyp::testing::UiScriptTest;

TEST_F(ProgressWindow, TranscriptRecordsTheFileLineAndEveryPercentage) {
  ZYPWindow* window = ZYPInitProgress(nullptr, "Quillmarsh Folder", 0);
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(transcript().empty()) << "the window shows with its first file line, not before";

  EXPECT_EQ(ZYPSetProgressFilename(window, "report.txt (12 Ko)"), 0);
  for (float percent : {0.0f, 10.0f, 75.0f, 99.9f, 100.0f}) EXPECT_EQ(ZYPSetProgress(window, percent), 0);
  EXPECT_NE(ZYPIsProgressCanceled(window), 0);
  EXPECT_EQ(ZYPGetProgress(window), 0.0f);
  EXPECT_EQ(ZYPDestroyProgress(window), 0);

  auto lines = transcript();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "dialog 102 open \"Quillmarsh Folder\"");
  EXPECT_TRUE(transcript_has("dialog 102 text 1001 \"report.txt (12 Ko)\""));
  EXPECT_EQ(transcript_lines("dialog 102 progress"),
            (std::vector<std::string>{"dialog 102 progress 1000 10", "dialog 102 progress 1000 75",
                                      "dialog 102 progress 1000 99", "dialog 102 progress 1000 100"}));
  EXPECT_EQ(lines.back(), "dialog 102 close");
}

TEST_F(ProgressWindow, CentresItselfOnTheDesktop) {
  ZYPWindow* window = ZYPInitProgress(nullptr, "Working", 0);
  ASSERT_NE(window, nullptr);
  platform::ui::ScreenRect place = window_of(window)->rect();
  platform::ui::ScreenRect desktop = platform::ui::host().screen();  // the same for every host
  EXPECT_EQ(place.x, desktop.width / 2 - place.width / 2);
  EXPECT_EQ(place.y, desktop.height / 2 - place.height / 2);
  EXPECT_EQ(ZYPDestroyProgress(window), 0);
}

TEST_F(ProgressWindow, AfterTheUsersCancelEveryCallAnswersGone) {
  ZYPWindow* window = ZYPInitProgress(nullptr, "Encrypting", 0);
  ASSERT_NE(window, nullptr);
  ASSERT_EQ(ZYPSetProgressFilename(window, "big.iso (4096 Ko)"), 0);
  ASSERT_EQ(ZYPSetProgress(window, 10.0f), 0);
  ASSERT_NE(ZYPIsProgressCanceled(window), 0);

  append_to_script("dialog 102 click 2\n");  // the user presses Cancel during the work
  EXPECT_EQ(ZYPSetProgress(window, 50.0f), 1) << "the Cancel handled by this very call ends the window";
  EXPECT_EQ(ZYPIsProgressCanceled(window), 0);
  EXPECT_EQ(ZYPSetProgress(window, 75.0f), 1);
  EXPECT_EQ(ZYPSetProgressFilename(window, "other.txt"), 1);
  EXPECT_EQ(ZYPDestroyProgress(window), 1);
  EXPECT_EQ(ZYPSetProgress(window, 100.0f), 1) << "a handle given back stays harmless";

  EXPECT_TRUE(transcript_has("dialog 102 user click 2"));
  EXPECT_EQ(transcript().back(), "dialog 102 close");
  EXPECT_TRUE(transcript_lines("dialog 102 progress 1000 5").empty()) << "nothing set after the Cancel";
}

TEST_F(ProgressWindow, OutOfRangePercentagesStayOnTheBar) {
  ZYPWindow* window = ZYPInitProgress(nullptr, "Working", 0);
  ASSERT_NE(window, nullptr);
  const struct {
    float percent;
    int bar;
  } cases[] = {{42.7f, 42},  {-0.5f, 0},  {-20.0f, 0}, {250.0f, 100}, {std::numeric_limits<float>::quiet_NaN(), 0},
               {std::numeric_limits<float>::infinity(), 100}, {-std::numeric_limits<float>::infinity(), 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.percent);
    EXPECT_EQ(ZYPSetProgress(window, c.percent), 0);
    EXPECT_EQ(window_of(window)->progress(1000), c.bar);
  }
  EXPECT_EQ(ZYPDestroyProgress(window), 0);
}

TEST_F(ProgressWindow, NullWindowIsGone) {
  EXPECT_EQ(ZYPSetProgressFilename(nullptr, "x"), 1);
  EXPECT_EQ(ZYPSetProgress(nullptr, 10.0f), 1);
  EXPECT_EQ(ZYPIsProgressCanceled(nullptr), 0);
  EXPECT_EQ(ZYPDestroyProgress(nullptr), 1);
  EXPECT_EQ(ZYPGetProgress(nullptr), 0.0f);
}

TEST_F(ProgressWindow, OnlyTheThreadThatMadeItChangesIt) {
  ZYPWindow* window = ZYPInitProgress(nullptr, "Working", 0);
  ASSERT_NE(window, nullptr);
  ASSERT_EQ(ZYPSetProgress(window, 30.0f), 0);
  int set = -1, named = -1, destroyed = -1, alive = -1;
  std::thread other([&] {
    set = ZYPSetProgress(window, 60.0f);
    named = ZYPSetProgressFilename(window, "x");
    destroyed = ZYPDestroyProgress(window);
    alive = ZYPIsProgressCanceled(window);
  });
  other.join();
  EXPECT_EQ(set, 1);
  EXPECT_EQ(named, 1);
  EXPECT_EQ(destroyed, 1);
  EXPECT_NE(alive, 0) << "asking is allowed from any thread";
  EXPECT_EQ(window_of(window)->progress(1000), 30);
  EXPECT_EQ(ZYPDestroyProgress(window), 0);
}

}  // namespace
}  // namespace zyp::tools::testing
