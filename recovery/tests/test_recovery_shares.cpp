// The k-of-n share rule and the share file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/atomic_file.h"
#include "recovery/shares.h"
#include "testsupport/test_env.h"

namespace {

using namespace zyp::recovery;

// A record with no zero byte, so that a gap in a rebuilt record shows.
RecordBytes sample_record() {
  RecordBytes record{};
  for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<uint8_t>(1 + i % 255);
  return record;
}

RecordBytes rebuilt(const RecordBytes& record, uint32_t n, uint32_t k, const std::vector<uint32_t>& disks) {
  RecordBytes result{};
  for (uint32_t disk : disks) {
    Share share;
    make_share(record, n, k, disk, share);
    add_share(result, share.bytes);
  }
  return result;
}

// Every k-subset of the n disks, as lists of disk indexes.
void subsets(uint32_t n, uint32_t k, uint32_t from, std::vector<uint32_t>& chosen,
             std::vector<std::vector<uint32_t>>& out) {
  if (chosen.size() == k) {
    out.push_back(chosen);
    return;
  }
  for (uint32_t disk = from; disk < n; ++disk) {
    chosen.push_back(disk);
    subsets(n, k, disk + 1, chosen, out);
    chosen.pop_back();
  }
}

// Any k disks rebuild the record. The rule does not stop smaller groups:
// some groups of ceil(n / (n - k + 1)) disks rebuild it too, and no smaller
// group ever does.
TEST(RecoveryShares, AnyKDistinctDisksRebuildTheRecordAndNoGroupBelowTheFewestDoes) {
  const RecordBytes record = sample_record();
  const struct {
    uint32_t n, k, fewest;
  } sets[] = {{3, 2, 2}, {3, 3, 3}, {3, 1, 1}, {1, 1, 1}, {7, 4, 2}, {7, 7, 7}, {5, 2, 2}, {6, 5, 3}};
  for (const auto& set : sets) {
    SCOPED_TRACE(std::to_string(set.n) + " disks, " + std::to_string(set.k) + " needed");
    EXPECT_EQ(fewest_disks_that_may_rebuild(set.n, set.k), set.fewest);
    std::vector<std::vector<uint32_t>> enough, fewest, too_few;
    std::vector<uint32_t> chosen;
    subsets(set.n, set.k, 0, chosen, enough);
    for (const auto& disks : enough) EXPECT_EQ(rebuilt(record, set.n, set.k, disks), record);
    subsets(set.n, set.fewest, 0, chosen, fewest);
    EXPECT_TRUE(std::any_of(fewest.begin(), fewest.end(),
                            [&](const auto& disks) { return rebuilt(record, set.n, set.k, disks) == record; }));
    subsets(set.n, set.fewest - 1, 0, chosen, too_few);
    for (const auto& disks : too_few) EXPECT_NE(rebuilt(record, set.n, set.k, disks), record);
  }
}

TEST(RecoveryShares, EachByteIsOnNMinusKPlusOneDisksAndKEqualsOneCopiesTheWholeRecord) {
  for (uint32_t n = 1; n <= kMostDisks; ++n) {
    for (uint32_t k = 1; k <= n; ++k) {
      for (size_t position : {size_t{0}, size_t{1}, size_t{n}, kRecordSize - 1}) {
        uint32_t holders = 0;
        for (uint32_t disk = 0; disk < n; ++disk) holders += disk_carries(n, k, disk, position) ? 1 : 0;
        EXPECT_EQ(holders, n - k + 1) << n << " " << k << " " << position;
      }
    }
  }
  // n = 3, k = 2: disk 0 carries offsets 0 and 1 of every group of 3.
  const RecordBytes record = sample_record();
  Share share;
  make_share(record, 3, 2, 0, share);
  EXPECT_EQ(share.bytes[0], record[0]);
  EXPECT_EQ(share.bytes[1], record[1]);
  EXPECT_EQ(share.bytes[2], 0);
  EXPECT_EQ(share.bytes[704], 0);          // offset 2 of its group
  EXPECT_EQ(share.bytes[705], record[705]);  // offset 0 of the short last group
  make_share(record, 4, 1, 3, share);
  EXPECT_EQ(share.bytes, record);
}

TEST(RecoveryShares, TheSameDiskTwiceLeavesGaps) {
  const RecordBytes record = sample_record();
  EXPECT_NE(rebuilt(record, 3, 2, {1, 1}), record);
  EXPECT_NE(rebuilt(record, 3, 3, {0, 2, 2}), record);
}

TEST(RecoveryShares, ShareFilesAre714LittleEndianBytesAndBadOnesAreRefused) {
  Share share;
  make_share(sample_record(), 5, 3, 2, share);
  std::string bytes = encode_share_file(share);
  ASSERT_EQ(bytes.size(), 714u);
  EXPECT_EQ(bytes.substr(0, 8), std::string("\x05\0\0\0\x03\0\0\0", 8));
  Share back;
  ASSERT_TRUE(decode_share_file(bytes, back));
  EXPECT_EQ(back.disks, 5u);
  EXPECT_EQ(back.needed, 3u);
  EXPECT_EQ(back.bytes, share.bytes);

  const struct {
    std::string bytes;
    const char* why;
  } bad[] = {
      {bytes.substr(0, 713), "short"},
      {bytes + "x", "long"},
      {std::string("\x08\0\0\0\x03\0\0\0", 8) + bytes.substr(8), "n above 7"},
      {std::string("\0\0\0\0\0\0\0\0", 8) + bytes.substr(8), "n of 0"},
      {std::string("\x03\0\0\0\x04\0\0\0", 8) + bytes.substr(8), "k above n"},
      {std::string("\x03\0\0\0\0\0\0\0", 8) + bytes.substr(8), "k of 0"},
      {std::string("\x03\0\0\x01\x02\0\0\0", 8) + bytes.substr(8), "n with a high byte"},
  };
  for (const auto& b : bad) EXPECT_FALSE(decode_share_file(b.bytes, back)) << b.why;

  std::string folder = zyp::testing::make_temp_folder("shares");
  std::string path = share_file_path(folder + "/");
  EXPECT_EQ(path, folder + "/krkey.bin");
  ASSERT_TRUE(write_share_file(path, share));
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(zyp::platform::read_whole_file(path).value_or(""), bytes);
  EXPECT_TRUE(read_share_file(path, back));
  EXPECT_FALSE(read_share_file(folder + "/missing", back));
}

}  // namespace
