// The smart-card copy over the stand-in card library: the records copied, the serial and overwrite checks,
// the unblocking code, a failed write, and an open session kept.
#include <algorithm>
#include <filesystem>
#include <sstream>
#include <optional>
#include <string>
#include <vector>

#include "dialog_test.h"
#include "platform/atomic_file.h"
#include "zyp/zypsess.h"

namespace zyp::prov {
namespace {

using testing::kFakeSlot;
using testing::login;

constexpr char kSource[] = "SRC0000000000001";
constexpr char kTarget[] = "TGT0000000000002";
// "TGT0" XOR 0x5A, as the stand-in computes it.
constexpr char kTargetCode[] = "0E1D0E6A";

std::string record_bytes(uint32_t record) {
  std::string bytes(record == 0 ? 150 : 62, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(record * 16 + i % 7);
  return bytes;
}

class CardCopy : public testing::DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    cards_ = zyp::testing::make_temp_folder("cards");
    ::setenv("FAKE_CARD_DIR", cards_.c_str(), 1);
    make_card("A", kSource);
    // Record 3 cannot be read, record 5 starts with 0xFF: neither is written.
    for (uint32_t i = 0; i <= 8; ++i) {
      if (i == 3) continue;
      write_record("A", i, i == 5 ? std::string(62, '\xFF') : record_bytes(i));
    }
    make_card("B", kTarget);
    // Loaded beforehand, the stand-in is what the provider's load of the
    // card library by name finds, as it would find an installed one.
    card_library_ = ::dlopen(FAKE_CARD_LIBRARY, RTLD_NOW);
    ASSERT_NE(card_library_, nullptr) << ::dlerror();
    attach();
  }
  void TearDown() override {
    ::unsetenv("FAKE_CARD_WRITE_FAILS");
    DialogTest::TearDown();
    if (card_library_) ::dlclose(card_library_);
  }

  void make_card(const std::string& card, const std::string& serial) {
    std::filesystem::create_directories(cards_ + "/" + card);
    ASSERT_TRUE(platform::write_file_atomically(cards_ + "/" + card + "/serial", serial));
  }
  void write_record(const std::string& card, uint32_t record, const std::string& bytes) {
    ASSERT_TRUE(platform::write_file_atomically(cards_ + "/" + card + "/record" + std::to_string(record), bytes));
  }
  std::optional<std::string> record_of_card(const std::string& card, uint32_t record) {
    return platform::read_whole_file(cards_ + "/" + card + "/record" + std::to_string(record));
  }
  void insertions(const std::string& cards) {
    ASSERT_TRUE(platform::write_file_atomically(cards_ + "/insertions", cards));
  }
  std::vector<std::string> calls() {
    std::vector<std::string> lines;
    std::istringstream text(platform::read_whole_file(cards_ + "/calls").value_or(""));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }
  bool called(const std::string& line) {
    auto all = calls();
    return std::find(all.begin(), all.end(), line) != all.end();
  }

  std::string cards_;
  void* card_library_ = nullptr;
};

TEST_F(CardCopy, CopiesTheReadableRecordsOntoAnotherCardAfterAsking) {
  // The source card is offered again as the target first: it is refused.
  insertions("A\nA\nB\n");
  write_record("B", 0, "old data");
  script("msgbox 1\nmsgbox 6\n");
  EXPECT_EQ(ZYPCIPCloneCard(kFakeSlot), 1);

  for (uint32_t i : {0u, 1u, 2u, 4u, 6u, 7u, 8u}) {
    SCOPED_TRACE(i);
    EXPECT_EQ(record_of_card("B", i), record_bytes(i));
  }
  EXPECT_FALSE(record_of_card("B", 3)) << "an unreadable source record is erased, not written";
  EXPECT_FALSE(record_of_card("B", 5)) << "a record starting with 0xFF is erased, not written";
  std::vector<std::string> log = calls();
  EXPECT_EQ(std::count(log.begin(), log.end(), "insert \"Insert the smart card to copy to.\" -> A"), 1);
  EXPECT_TRUE(called("unblock " + std::string(kTargetCode)));
  EXPECT_EQ(calls().back(), "remove \"The smart card was copied. Remove it.\"");

  auto boxes = transcript_lines("msgbox");
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_TRUE(boxes[0].starts_with("msgbox \"Smart card copy\" \"This copies the data"));
  EXPECT_TRUE(boxes[1].starts_with("msgbox \"Smart card copy\" \"The target card already holds data."));
  EXPECT_TRUE(boxes[1].ends_with("-> 6"));
}

TEST_F(CardCopy, ATargetThatHoldsDataIsKeptWhenTheUserSaysNo) {
  insertions("A\nB\n");
  write_record("B", 0, "old data");
  script("msgbox 1\nmsgbox 7\n");
  EXPECT_EQ(ZYPCIPCloneCard(kFakeSlot), 1);
  EXPECT_EQ(record_of_card("B", 0), "old data");
  EXPECT_FALSE(called("erase 0"));
  EXPECT_FALSE(called("unblock " + std::string(kTargetCode)));
}

TEST_F(CardCopy, AFailedWriteEndsTheCopy) {
  ::setenv("FAKE_CARD_WRITE_FAILS", "2", 1);
  insertions("A\nB\n");
  script("msgbox 1\n");
  EXPECT_EQ(ZYPCIPCloneCard(kFakeSlot), 1);
  EXPECT_EQ(calls().back(), "write 2 failed");
  EXPECT_FALSE(record_of_card("B", 4));
}

TEST_F(CardCopy, NoSourceCardCopiesNothing) {
  insertions("");
  script("msgbox 1\n");
  EXPECT_EQ(ZYPCIPCloneCard(kFakeSlot), 1);
  EXPECT_FALSE(called("pin"));
  EXPECT_FALSE(record_of_card("B", 0));
}

TEST_F(CardCopy, AnOpenSessionSurvivesTheCopyWithItsPresenceCheckRestored) {
  ASSERT_EQ(login(kFakeSlot, "1234"), CKR_OK);
  ASSERT_EQ(ZYPCIPSetCheckPresence(1), 0);
  insertions("A\nB\n");
  script("msgbox 1\n");
  EXPECT_EQ(ZYPCIPCloneCard(kFakeSlot), 1);
  EXPECT_EQ(calls().back(), "auth") << "the user is authenticated to the card again";
  EXPECT_EQ(ZYPGetSessionState(kFakeSlot), 0);
  EXPECT_EQ(provider()->shared().presence_check, 1);
}

}  // namespace
}  // namespace zyp::prov
