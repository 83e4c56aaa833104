// The token, algorithm and key lists and their labels, through the real
// server over the software token in this test program's private profile.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "filecrypt/tests/file_test_support.h"
#include "platform/atomic_file.h"
#include "testsupport/test_env.h"
#include "zyp/softtok.h"
#include "zyp/zypclient.h"
#include "zyp/zypfile.h"
#include "zyp/zypsess.h"

namespace {

constexpr uint32_t kToken = 0;
constexpr uint16_t kEncryption = ZYPCIP_TYPE_ENCRYPTION;
constexpr uint32_t kDes40 = CKM_DES_40_CBC;

struct Seen {
  uint32_t value;
  std::string name;
  bool operator==(const Seen&) const = default;
};

int collect(const ZYPCIPListEntry* item, void* userValue) {
  static_cast<std::vector<Seen>*>(userValue)->push_back({item->value, item->name});
  return 1;
}

std::vector<Seen> as_seen(const std::vector<ZYPCIPListEntry>& entries) {
  std::vector<Seen> seen;
  for (const ZYPCIPListEntry& entry : entries) seen.push_back({entry.value, entry.name});
  return seen;
}

// The provider's own list, asked for directly.
template <typename Request>
std::vector<Seen> provider_list(Request request) {
  uint32_t count = 0;
  ZYPCIPListEntry none{};
  EXPECT_LE(request(&none, &count), 1);
  std::vector<ZYPCIPListEntry> entries(count);
  EXPECT_EQ(request(entries.data(), &count), 0);
  entries.resize(count);
  return as_seen(entries);
}

TEST(ListsWithoutServer, NullCallbacksGive80AndTheProvidersFailureComesBack) {
  EXPECT_EQ(ZYPEnumToken(nullptr, nullptr), ZYPFILE_NULL_ARGUMENT);
  EXPECT_EQ(ZYPEnumAlgo(kEncryption, kToken, nullptr, nullptr, 0), ZYPFILE_NULL_ARGUMENT);
  EXPECT_EQ(ZYPEnumKey(kEncryption, kToken, kDes40, nullptr, nullptr), ZYPFILE_NULL_ARGUMENT);
  std::vector<Seen> seen;
  EXPECT_EQ(ZYPEnumToken(&collect, &seen), ZYPCIP_UNREACHABLE);
  EXPECT_TRUE(seen.empty());
}

// A never initialised token, set up and logged in through the server's
// dialogs, answered by a script.
class ListsLoggedIn : public ::testing::Test {
 protected:
  void SetUp() override {
    zyp::file::testing::open_session_through_server(zyp::testing::make_temp_folder("ui"), kToken);
  }
  void TearDown() override { ZYPCIPShutdownPKCS(); }

  static uint32_t new_key(const std::string& label) {
    uint32_t key = 0;
    EXPECT_EQ(ZYPCIPGenerateKeyFromSentence(kToken, kDes40, kEncryption, label.c_str(),
                                            ("the sentence of " + label).c_str(), &key),
              0);
    return key;
  }
};

TEST_F(ListsLoggedIn, TokensAndAlgorithmsAreTheProvidersListsItemByItem) {
  std::vector<Seen> tokens;
  EXPECT_EQ(ZYPEnumToken(&collect, &tokens), 0);
  EXPECT_EQ(tokens, provider_list([](ZYPCIPListEntry* l, uint32_t* c) { return ZYPCIPEnumToken(l, c); }));
  EXPECT_FALSE(tokens.empty());

  std::vector<Seen> algorithms;
  EXPECT_EQ(ZYPEnumAlgo(kEncryption, kToken, &collect, &algorithms, 0), 0);
  EXPECT_EQ(algorithms, provider_list([](ZYPCIPListEntry* l, uint32_t* c) {
              return ZYPCIPEnumAlgorithm(kToken, kEncryption, l, c);
            }));
  bool has_des40 = false;
  for (const Seen& algorithm : algorithms) has_des40 |= algorithm.value == kDes40;
  EXPECT_TRUE(has_des40);

  // The software token has no signature mechanism.
  std::vector<Seen> signatures;
  EXPECT_EQ(ZYPEnumAlgo(ZYPCIP_TYPE_SIGNATURE, kToken, &collect, &signatures, 0), ZYPFILE_NOT_PRESENT);
  EXPECT_TRUE(signatures.empty());
}

TEST_F(ListsLoggedIn, OnATokenWithoutKeysOnlyWithKeysReportsNoAlgorithmAndReturns0) {
  std::vector<Seen> algorithms;
  EXPECT_EQ(ZYPEnumAlgo(kEncryption, kToken, &collect, &algorithms, 1), 0);
  EXPECT_TRUE(algorithms.empty());
  std::vector<Seen> keys;
  EXPECT_EQ(ZYPEnumKey(kEncryption, kToken, kDes40, &collect, &keys), 0);
  EXPECT_TRUE(keys.empty());
}

TEST_F(ListsLoggedIn, OnlyWithKeysReportsTheAlgorithmsOfTheKeysThereAre) {
  uint32_t key = new_key("only key");
  std::vector<Seen> algorithms;
  // The count requests answer "list too small" with the count: still a success.
  EXPECT_EQ(ZYPEnumAlgo(kEncryption, kToken, &collect, &algorithms, 1), 0);
  ASSERT_FALSE(algorithms.empty());
  bool has_des40 = false;
  for (const Seen& algorithm : algorithms) {
    has_des40 |= algorithm.value == kDes40;
    std::vector<Seen> keys;
    EXPECT_EQ(ZYPEnumKey(kEncryption, kToken, algorithm.value, &collect, &keys), 0);
    EXPECT_EQ(keys, (std::vector<Seen>{{key, "only key"}})) << algorithm.name;
  }
  EXPECT_TRUE(has_des40);
}

TEST_F(ListsLoggedIn, AListLongerThan32IsReportedWhole) {
  std::vector<Seen> expected;
  for (int i = 0; i < 34; ++i) {
    std::string label = "key " + std::to_string(i);
    expected.push_back({new_key(label), label});
  }
  std::vector<Seen> keys;
  EXPECT_EQ(ZYPEnumKey(kEncryption, kToken, kDes40, &collect, &keys), 0);
  EXPECT_EQ(keys.size(), expected.size());
  for (const Seen& key : expected) EXPECT_NE(std::find(keys.begin(), keys.end(), key), keys.end()) << key.name;
}

TEST_F(ListsLoggedIn, LabelsFillTheBufferAndNeverWritePastIt) {
  uint32_t key = new_key("a label of 19 chars");
  std::vector<Seen> algorithms;
  ASSERT_EQ(ZYPEnumAlgo(kEncryption, kToken, &collect, &algorithms, 1), 0);
  ASSERT_FALSE(algorithms.empty());
  std::vector<Seen> tokens;
  ASSERT_EQ(ZYPEnumToken(&collect, &tokens), 0);
  struct Case {
    const char* what;
    std::string expected;
    std::function<int(char*, uint32_t)> call;
  } cases[] = {
      {"token", tokens[0].name, [](char* b, uint32_t s) { return ZYPGetTokenLabel(kToken, b, s); }},
      {"key", "a label of 19 chars", [key](char* b, uint32_t s) { return ZYPGetKeyLabel(kToken, key, b, s); }},
      {"algorithm", algorithms[0].name,
       [&](char* b, uint32_t s) { return ZYPGetAlgoLabel(kToken, algorithms[0].value, b, s); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_FALSE(c.expected.empty());
    uint32_t exact = static_cast<uint32_t>(c.expected.size()) + 1;
    std::vector<char> buffer(exact + 8, '#');
    EXPECT_EQ(c.call(buffer.data(), exact), 0);
    EXPECT_EQ(std::string(buffer.data()), c.expected);
    EXPECT_EQ(buffer[exact], '#');

    std::vector<char> short_buffer(exact + 8, '#');
    EXPECT_EQ(c.call(short_buffer.data(), exact - 1), ZYPCIP_TOO_SMALL);
    EXPECT_EQ(std::string(short_buffer.begin(), short_buffer.begin() + exact - 1), std::string(exact - 1, '\0'));
    EXPECT_EQ(short_buffer[exact - 1], '#');

    EXPECT_EQ(c.call(nullptr, exact), ZYPFILE_NULL_ARGUMENT);
    EXPECT_EQ(c.call(buffer.data(), 0), ZYPFILE_NULL_ARGUMENT);
  }
}

TEST_F(ListsLoggedIn, AHeaderIsValidWhenTheTokenHoldsItsKey) {
  FileHeader header;
  ASSERT_EQ(ZYPFillHeader(&header, kDes40, new_key("valid"), 0, "x"), 0);
  EXPECT_EQ(ZYPAskValidHeader(&header), 0);
  header.Key ^= 1;
  EXPECT_EQ(ZYPAskValidHeader(&header), ZYPFILE_UNKNOWN_KEY);
}

}  // namespace
