#include <gtest/gtest.h>

#include <string.h>

#include "iq_streamer.h"

namespace {

uint64_t Field(const uint8_t* d, int at, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; i--) v = (v << 8) | d[at + i];
  return v;
}

TEST(IqConvertBlock, PutsScaledQValuesFirstThenIValues) {
  static float iq[2 * kIqBlockSamples];
  static float block[2 * kIqBlockSamples];
  for (int k = 0; k < kIqBlockSamples; k++) {
    iq[2 * k] = float(k) * 65536.0f;      // I
    iq[2 * k + 1] = -float(k) * 4096.0f;  // Q
  }
  iq[2 * 7] = 2147483648.0f;
  iq[2 * 7 + 1] = -1073741824.0f;
  iqConvertBlock(iq, block);
  EXPECT_EQ(-0.5f, block[7]);
  EXPECT_EQ(1.0f, block[kIqBlockSamples + 7]);
  for (int k : {0, 1, 500, 1023}) {
    EXPECT_EQ(-float(k) * 4096.0f / 2147483648.0f, block[k]) << k;
    EXPECT_EQ(float(k) * 65536.0f / 2147483648.0f, block[kIqBlockSamples + k]) << k;
  }
}

TEST(IqPackPiece, SeventeenLittleEndianPiecesCoverTheBlock) {
  uint8_t block[kIqBlockBytes];
  for (int i = 0; i < kIqBlockBytes; i++) block[i] = uint8_t(i * 7 + 3);
  uint8_t datagram[kIqDatagramBytes];
  memset(datagram, 0xEE, sizeof datagram);
  const uint64_t number = 0x0102030405060708ull;
  int offset = 0, pieces = 0;
  while (offset < kIqBlockBytes) {
    int length = iqPackPiece(number, block, offset, datagram);
    EXPECT_EQ(number, Field(datagram, 0, 8));
    EXPECT_EQ(0x08, datagram[0]);  // low byte first
    EXPECT_EQ(uint64_t(offset), Field(datagram, 8, 2));
    EXPECT_EQ(uint64_t(length), Field(datagram, 10, 2));
    EXPECT_EQ(0, memcmp(block + offset, datagram + kIqHeaderBytes, length)) << offset;
    EXPECT_EQ(0, offset % 4);
    EXPECT_EQ(pieces < 16 ? 500 : 192, length) << pieces;
    offset += length;
    pieces++;
  }
  EXPECT_EQ(17, pieces);
  EXPECT_EQ(kIqBlockBytes, offset);
  // The last piece leaves the previous piece's bytes behind its 192.
  EXPECT_EQ(block[7500 + 192], datagram[kIqHeaderBytes + 192]);
  EXPECT_EQ(block[7999], datagram[kIqDatagramBytes - 1]);
}

}  // namespace
