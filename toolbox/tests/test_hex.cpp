#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zyp/zyptools.h"

namespace {

using Bytes = std::vector<unsigned char>;

TEST(Hex, BinToAsciiWritesUpperCaseDigitsAndANul) {
  struct Case {
    Bytes bytes;
    std::string text;
  };
  const Case cases[] = {
      {{0x00, 0xAB, 0xFF}, "00ABFF"},
      {{}, ""},
      {{0x01, 0x23, 0x45, 0x67, 0x89, 0xCD, 0xEF}, "0123456789CDEF"},
  };
  for (const Case& c : cases) {
    std::string text(2 * c.bytes.size() + 4, '#');
    ZYPBinToAscii(c.bytes.data(), text.data(), static_cast<int>(c.bytes.size()));
    EXPECT_EQ(text, c.text + '\0' + "###") << c.text;
  }
  char only_nul[2] = {'#', '#'};
  ZYPBinToAscii(nullptr, only_nul, -3);
  EXPECT_EQ(only_nul[0], '\0');
  EXPECT_EQ(only_nul[1], '#');
}

TEST(Hex, AsciiToBinReadsExactlyTheCount) {
  struct Case {
    std::string text;
    int digits;
    Bytes bytes;  // the bytes written; the rest of the buffer stays 0x5A
  };
  const Case cases[] = {
      {"00abFF", 6, {0x00, 0xAB, 0xFF}},
      {"ABC", 3, {0xAB, 0xC0}},     // an odd count leaves the low nibble 0
      {"zz", 2, {0x00}},            // unknown characters read as 0
      {"1g2G", 4, {0x10, 0x20}},
      {"ABCDEF", 2, {0xAB}},        // no terminator needed, nothing read past the count
      {"12", 0, {}},
      {"12", -1, {}},
  };
  for (const Case& c : cases) {
    Bytes out(8, 0x5A);
    ZYPAsciiToBin(c.text.data(), out.data(), c.digits);
    Bytes expected = c.bytes;
    expected.resize(8, 0x5A);
    EXPECT_EQ(out, expected) << c.text << " / " << c.digits;
  }
}

TEST(Hex, AsciiToBinRefusesCountsBeyondItsSixteenBitCounter) {
  std::string text(32768, 'F');
  Bytes out(16384, 0);
  ZYPAsciiToBin(text.data(), out.data(), 32768);
  EXPECT_EQ(out, Bytes(16384, 0));
  ZYPAsciiToBin(text.data(), out.data(), 32767);
  EXPECT_EQ(out.back(), 0xF0);
  EXPECT_EQ(out.front(), 0xFF);
}

TEST(Hex, RoundTripOfEveryByte) {
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
  std::string text(513, '\0');
  ZYPBinToAscii(all.data(), text.data(), 256);
  Bytes back(256);
  ZYPAsciiToBin(text.data(), back.data(), 512);
  EXPECT_EQ(back, all);
}

TEST(Mac8, DocumentedVectors) {
  struct Case {
    const char* what;
    Bytes data;
    int length;
    Bytes mac;
  };
  Bytes seventeen(17, 0);
  seventeen[16] = 0xF0;
  const Case cases[] = {
      {"abc", {0x61, 0x62, 0x63}, 3, {0x61, 0x62, 0x63, 0, 0, 0, 0, 0}},
      {"sixteen zeros add the second block's offset", Bytes(16, 0), 16, Bytes(8, 0x08)},
      {"0xF0 plus the third block's offset 16 wraps to 0", seventeen, 17, Bytes(8, 0x08)},
      {"eight 0xFF", Bytes(8, 0xFF), 8, Bytes(8, 0xFF)},
      {"nothing", {}, 0, Bytes(8, 0)},
      {"a negative length", {1, 2}, -5, Bytes(8, 0)},
  };
  for (const Case& c : cases) {
    Bytes out(8, 0xEE);
    EXPECT_EQ(ZYPComputeMac8(c.data.data(), c.length, out.data()), 0) << c.what;
    EXPECT_EQ(out, c.mac) << c.what;
  }
  EXPECT_EQ(ZYPComputeMac8(cases[0].data.data(), 3, nullptr), 0);
}

TEST(Mac8, OffsetsWrapAtTwoHundredFiftySix) {
  // Block 256 adds 256 = 0 mod 256; block 264 adds 8.
  Bytes data(272, 0);
  Bytes out(8);
  ZYPComputeMac8(data.data(), 272, out.data());
  uint8_t expected = 0;
  for (int block = 0; block < 272; block += 8) expected ^= static_cast<uint8_t>(block);
  EXPECT_EQ(out, Bytes(8, expected));
}

}  // namespace
