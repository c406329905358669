// The bytes of the four file layouts, built here from the tables field by field.
#include <gtest/gtest.h>

#include <math.h>
#include <string.h>

#include "fakes.h"
#include "sample_pack.h"
#include "wav_writer.h"

namespace {

struct Bytes {
  std::vector<uint8_t> v;
  Bytes& Text(const char* s) {
    for (const char* p = s; *p; p++) v.push_back(uint8_t(*p));
    return *this;
  }
  Bytes& U16(uint16_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
    return *this;
  }
  Bytes& U32(uint32_t x) { return U16(uint16_t(x)).U16(uint16_t(x >> 16)); }
  Bytes& Append(const Bytes& b) {
    for (uint8_t x : b.v) v.push_back(x);
    return *this;
  }
  Bytes& Zeros(size_t n) {
    for (size_t i = 0; i < n; i++) v.push_back(0);
    return *this;
  }
  // SYSTEMTIME: year, month, day of week, day, hour, minute, second, ms.
  Bytes& Time(uint16_t y, uint16_t mo, uint16_t dow, uint16_t d, uint16_t h, uint16_t mi,
              uint16_t s, uint16_t ms) {
    return U16(y).U16(mo).U16(dow).U16(d).U16(h).U16(mi).U16(s).U16(ms);
  }
};

// One file with one 12-byte block, opened at 09:30:00 and closed at 09:30:07
// on Tuesday 3 March 2015. Its samples end with the block, so does its stop time.
struct HeaderTest : ::testing::Test {
  FakeDisk disk;
  WavWriter w;
  const uint8_t block[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

  void SetUp() override { InstallFakes(disk); }
  void TearDown() override { RemoveFakes(); }

  const std::vector<uint8_t>& RecordOneBlock(SampleFormat format) {
    ::Setup(w, format, 192000, 7050000, 3, Utc, Hour);
    g_fakeNow = UtcTime(2015, 3, 3, 9, 30, 0);
    EXPECT_TRUE(WriteBlock(w, sizeof block, block));
    g_fakeNow += 7;
    CloseFile(w);
    EXPECT_EQ(1u, disk.files.size());
    EXPECT_EQ("B3_20150303_093000_7050kHz.wav", disk.files[0].name);
    EXPECT_FALSE(disk.files[0].open);
    return disk.files[0].bytes;
  }
};

Bytes Auxi() {
  Bytes b;
  b.Text("auxi").U32(164);
  b.Time(2015, 3, 2, 3, 9, 30, 0, 250).Time(2015, 3, 2, 3, 9, 30, 0, 250);
  b.U32(7050000).Zeros(128);
  return b;
}

TEST_F(HeaderTest, SixteenBitFileIsThe218ByteLayout) {
  Bytes want;
  want.Text("RIFF").U32(218 + 12 - 8).Text("WAVE");
  want.Text("fmt ").U32(18).U16(1).U16(2).U32(192000).U32(768000).U16(4).U16(16).U16(0);
  want.Append(Auxi());
  want.Text("data").U32(12);
  for (uint8_t x : block) want.v.push_back(x);
  const std::vector<uint8_t>& got = RecordOneBlock(Pcm16);
  EXPECT_EQ(want.v, got);
  // 32-bit fields at odd offsets, as readers that seek to them expect.
  EXPECT_EQ(0, memcmp(&got[38], "auxi", 4));
  EXPECT_EQ(7050000u, Le32(got, 78));
  EXPECT_EQ(0, memcmp(&got[210], "data", 4));
  EXPECT_EQ(12u, Le32(got, 214));
}

TEST_F(HeaderTest, ShortFmtFileIsThe216ByteLayoutWithAlignedFields) {
  Bytes want;
  want.Text("RIFF").U32(216 + 12 - 8).Text("WAVE");
  want.Text("fmt ").U32(16).U16(1).U16(2).U32(192000).U32(768000).U16(4).U16(16);
  want.Append(Auxi());
  want.Text("data").U32(12);
  for (uint8_t x : block) want.v.push_back(x);
  const std::vector<uint8_t>& got = RecordOneBlock(Pcm16ShortFmt);
  EXPECT_EQ(want.v, got);
  EXPECT_EQ(0, memcmp(&got[36], "auxi", 4));
  EXPECT_EQ(2015, Le16(got, 44));      // start time
  EXPECT_EQ(0, Le16(got, 60 + 12));    // stop second: the block's, not the close's
  EXPECT_EQ(7050000u, Le32(got, 76));  // centre frequency
  EXPECT_EQ(0, memcmp(&got[208], "data", 4));
  EXPECT_EQ(12u, Le32(got, 212));
  EXPECT_EQ(0u, (216 - 44) % 4);  // whole frames after a fixed 44-byte header
}

// While recording and at close the sizes go to 4 and 212, and no header write
// reaches the samples from 216 on.
TEST_F(HeaderTest, ShortFmtSizesAreKeptCurrentAndCompletedAtTheirOwnOffsets) {
  ::Setup(w, Pcm16ShortFmt, 192000, 7050000, 3, Utc, Hour);
  std::vector<uint8_t> samples;
  for (int t = 0; t <= 150; t += 10) {  // 09:29:00 to 09:31:30
    uint8_t b[12];
    memset(b, 0xA0 + t / 10, sizeof b);
    g_fakeNow = UtcTime(2015, 3, 3, 9, 29, 0) + t;
    ASSERT_TRUE(WriteBlock(w, sizeof b, b));
    samples.insert(samples.end(), b, b + sizeof b);
  }
  const std::vector<uint8_t>& got = disk.files.at(0).bytes;
  uint32_t current = Le32(got, 212);
  EXPECT_GT(current, 0u);
  EXPECT_EQ(0u, current % 12);
  EXPECT_EQ(current + 208, Le32(got, 4));
  EXPECT_EQ(samples, std::vector<uint8_t>(got.begin() + 216, got.end()));

  CloseFile(w);
  EXPECT_EQ(216 + samples.size(), got.size());
  EXPECT_EQ(samples.size(), Le32(got, 212));
  EXPECT_EQ(216 + samples.size() - 8, Le32(got, 4));
  EXPECT_EQ(31, Le16(got, 60 + 10));  // stop minute and second
  EXPECT_EQ(30, Le16(got, 60 + 12));
  EXPECT_EQ(samples, std::vector<uint8_t>(got.begin() + 216, got.end()));
  EXPECT_EQ(0, memcmp(&got[208], "data", 4));
}

Bytes Header24(uint16_t tag, uint16_t cbSize, uint32_t riff) {
  static const uint8_t kGuid[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                    0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  Bytes b;
  b.Text("RIFF").U32(riff).Text("WAVE");
  b.Text("fmt ").U32(40).U16(tag).U16(2).U32(192000).U32(1152000).U16(6).U16(24).U16(cbSize);
  b.U16(24).U32(3);
  for (uint8_t x : kGuid) b.v.push_back(x);
  b.Append(Auxi());
  b.Text("data").U32(12);
  return b;
}

Bytes InfoList() {
  Bytes b;
  size_t web = strlen(kWebAddress);
  b.Text("LIST").U32(uint32_t(90 + web + (web & 1))).Text("INFO");
  b.Text("QTR ").U32(23).Text("2015-03-03 09:30:00 UTC").Zeros(1);
  b.Text("QRG ").U32(7).Text("7050000").Zeros(1);
  b.Text("ISFT").U32(9).Text("VEXA_File").Zeros(1);
  b.Text("IWEB").U32(uint32_t(web)).Text(kWebAddress).Zeros(web & 1);
  b.Text("CHAN").U32(3).Text("I/Q").Zeros(1);
  return b;
}

TEST_F(HeaderTest, TwentyFourBitFilesAreThe240ByteLayoutWithTheInfoTrailer) {
  Bytes info = InfoList();
  uint32_t riff = uint32_t(240 + 12 + info.v.size() - 8);
  Bytes want = Header24(0xFFFE, 22, riff);
  for (uint8_t x : block) want.v.push_back(x);
  want.Append(info);
  std::vector<uint8_t> extensible = RecordOneBlock(Pcm24Extensible);
  EXPECT_EQ(want.v, extensible);
  EXPECT_EQ(98 + strlen(kWebAddress) + (strlen(kWebAddress) & 1), info.v.size());

  RemoveFakes();
  disk.files.clear();
  InstallFakes(disk);
  std::vector<uint8_t> plain = RecordOneBlock(Pcm24Plain);
  ASSERT_EQ(extensible.size(), plain.size());
  for (size_t i = 0; i < plain.size(); i++) {
    if (i == 20 || i == 21 || i == 36 || i == 37) continue;
    EXPECT_EQ(extensible[i], plain[i]) << "offset " << i;
  }
  EXPECT_EQ(1, Le16(plain, 20));
  EXPECT_EQ(0, Le16(plain, 36));
}

TEST(InfoList, ItemsOfOddLengthArePaddedToEvenOffsets) {
  static WavWriter w;
  ResetInfoList(w);
  EXPECT_EQ(12u, w.infoBytes);
  EXPECT_EQ(0, memcmp(w.infoList, "LIST\x04\0\0\0INFO", 12));
  ASSERT_TRUE(AddInfoItem(w, "ABCD", "even"));
  ASSERT_TRUE(AddInfoItem(w, "EFGH", "odd"));
  ASSERT_TRUE(AddInfoItem(w, "IJKL", ""));
  Bytes want;
  want.Text("LIST").U32(44 - 8).Text("INFO");
  want.Text("ABCD").U32(4).Text("even");
  want.Text("EFGH").U32(3).Text("odd").Zeros(1);
  want.Text("IJKL").U32(0);
  EXPECT_EQ(want.v, std::vector<uint8_t>(w.infoList, w.infoList + w.infoBytes));
}

TEST(InfoList, RefusesAnItemThatWouldOverflowTheList) {
  static WavWriter w;
  ResetInfoList(w);
  std::string big(kInfoListCapacity - 12 - 8, 'x');
  ASSERT_TRUE(AddInfoItem(w, "FULL", big.c_str()));
  EXPECT_EQ(kInfoListCapacity, w.infoBytes);
  EXPECT_FALSE(AddInfoItem(w, "MORE", ""));
  EXPECT_EQ(kInfoListCapacity, w.infoBytes);
}

std::vector<uint8_t> Packed(float v) {
  std::vector<uint8_t> out(3);
  Pack24(&v, 1, out.data());
  return out;
}

TEST(Pack24, KeepsTheTopThreeBytesOfTheTruncatedValue) {
  using V = std::vector<uint8_t>;
  EXPECT_EQ((V{0x00, 0x00, 0x00}), Packed(255.0f));
  EXPECT_EQ((V{0x01, 0x00, 0x00}), Packed(256.0f));
  EXPECT_EQ((V{0x01, 0x00, 0x00}), Packed(511.9f));
  EXPECT_EQ((V{0xFF, 0xFF, 0xFF}), Packed(-1.0f));
  EXPECT_EQ((V{0xFF, 0xFF, 0xFF}), Packed(-255.9f));
  EXPECT_EQ((V{0xFF, 0xFF, 0xFF}), Packed(-256.0f));
  EXPECT_EQ((V{0xFE, 0xFF, 0xFF}), Packed(-257.0f));
  EXPECT_EQ((V{0xFF, 0xFF, 0x7F}), Packed(2147483520.0f));
  EXPECT_EQ((V{0x00, 0x00, 0x80}), Packed(-2147483648.0f));
}

TEST(Pack24, SaturatesBeyondThe32BitRange) {
  using V = std::vector<uint8_t>;
  EXPECT_EQ((V{0xFF, 0xFF, 0x7F}), Packed(2147483648.0f));
  EXPECT_EQ((V{0xFF, 0xFF, 0x7F}), Packed(1e30f));
  EXPECT_EQ((V{0x00, 0x00, 0x80}), Packed(-1e30f));
  EXPECT_EQ((V{0xFF, 0xFF, 0x7F}), Packed(HUGE_VALF));
  EXPECT_EQ((V{0x00, 0x00, 0x80}), Packed(-HUGE_VALF));
  EXPECT_EQ((V{0x00, 0x00, 0x00}), Packed(NAN));
}

TEST(ConvertBlock, KeepsIThenQAndGivesFourOrSixBytesPerSample) {
  std::vector<float> iq(2048 * 2);
  for (size_t i = 0; i < iq.size(); i++) iq[i] = float(int32_t(i) - 2048) * 65536.0f;
  std::vector<uint8_t> out(2048 * 6);
  EXPECT_EQ(8192u, ConvertBlock(iq.data(), 2048, Pcm16, 16, out.data()));
  EXPECT_EQ(-2048, int16_t(Le16(out, 0)));    // I of sample 0
  EXPECT_EQ(-2047, int16_t(Le16(out, 2)));    // Q of sample 0
  EXPECT_EQ(2047, int16_t(Le16(out, 8190)));  // Q of the last sample
  EXPECT_EQ(8192u, ConvertBlock(iq.data(), 2048, Pcm16ShortFmt, 16, out.data()));
  EXPECT_EQ(12288u, ConvertBlock(iq.data(), 2048, Pcm24Plain, 16, out.data()));
  EXPECT_EQ((std::vector<uint8_t>{0x00, 0x00, 0xF8}),
            std::vector<uint8_t>(out.begin(), out.begin() + 3));
  EXPECT_EQ((std::vector<uint8_t>{0x00, 0xFF, 0x07}),
            std::vector<uint8_t>(out.end() - 3, out.end()));
}

}  // namespace
