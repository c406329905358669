#include <string.h>

#include <algorithm>

#include <vector>

#include "commands.h"
#include "net_test_support.h"

namespace {

const DWORD kQuietMs = 300;  // how long "no datagram" is awaited

struct Datagram {
  uint64_t block;
  uint16_t offset, length;
  uint8_t data[kIqPieceBytes];
};

class Stream : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    rx = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    ASSERT_NE(INVALID_SOCKET, rx);
    int buffer = 8 << 20;
    setsockopt(rx, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&buffer), sizeof buffer);
    sockaddr_in local = Loopback(0);
    ASSERT_EQ(0, bind(rx, reinterpret_cast<sockaddr*>(&local), sizeof local));
    int size = sizeof local;
    getsockname(rx, reinterpret_cast<sockaddr*>(&local), &size);
    port = ntohs(local.sin_port);
    SetTimeout(5000);
  }
  void TearDown() override {
    contextFree(ctx);  // stops the sender before the socket goes
    closesocket(rx);
    ServerTest::TearDown();
  }
  void SetTimeout(DWORD ms) {
    setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
  }
  std::string Do(std::string request) { return processCommand(&request[0], ctx); }
  std::string StartIq() { return Do("start iq " + std::to_string(port)); }
  // Publishes samples of the counter pattern in writes of `perSignal` samples.
  void Publish(int32_t samples, int32_t perSignal) {
    std::vector<float> iq(2 * perSignal);
    for (int32_t done = 0; done < samples; done += perSignal) {
      CounterPattern(pub.samplesWritten, perSignal, iq.data());
      PublisherWrite(pub, iq.data(), perSignal);
    }
  }
  bool Receive(Datagram& d) {
    uint8_t raw[kIqDatagramBytes + 1];
    int got = recv(rx, reinterpret_cast<char*>(raw), sizeof raw, 0);
    if (got != kIqDatagramBytes) return false;
    memcpy(&d.block, raw, 8);
    memcpy(&d.offset, raw + 8, 2);
    memcpy(&d.length, raw + 10, 2);
    memcpy(d.data, raw + kIqHeaderBytes, kIqPieceBytes);
    return true;
  }
  // Receives `blocks` whole blocks; checks numbering from firstBlock and that
  // sample k of the stream is counter sample firstSample + k.
  void ExpectBlocks(uint64_t firstBlock, int blocks, uint64_t firstSample) {
    std::vector<float> block(2 * kIqBlockSamples);
    std::vector<float> expected(2 * kIqBlockSamples), iq(2 * kIqBlockSamples);
    for (int b = 0; b < blocks; b++) {
      for (int offset = 0; offset < kIqBlockBytes;) {
        Datagram d;
        ASSERT_TRUE(Receive(d)) << "block " << b << " offset " << offset;
        ASSERT_EQ(firstBlock + b, d.block);
        ASSERT_EQ(offset, d.offset);
        ASSERT_EQ(offset == 8000 ? 192 : 500, d.length);
        memcpy(reinterpret_cast<uint8_t*>(block.data()) + offset, d.data, d.length);
        offset += d.length;
      }
      CounterPattern(firstSample + uint64_t(b) * kIqBlockSamples, kIqBlockSamples, iq.data());
      iqConvertBlock(iq.data(), expected.data());
      ASSERT_EQ(expected, block) << "block " << b;
    }
  }
  void ExpectQuiet() {
    SetTimeout(kQuietMs);
    Datagram d;
    EXPECT_FALSE(Receive(d)) << "unexpected block " << d.block;
    SetTimeout(5000);
  }
  SOCKET rx = INVALID_SOCKET;
  int port = 0;
};

TEST_F(Stream, TakesEveryWholeChunkOfLargeWritesAndNumbersBlocks) {
  ASSERT_EQ("OK 192000", Do("attach 20"));
  Publish(4096, 2048);  // before start iq: never sent
  ASSERT_EQ("OK", StartIq());
  // 16384 bytes per signal: two chunks per wake-up.
  Publish(16 * 2048, 2048);
  ExpectBlocks(0, 32, 4096);
  ExpectQuiet();
}

TEST_F(Stream, BlockNumbersRunOnAcrossStopAndStart) {
  ASSERT_EQ("OK 192000", Do("attach 20"));
  ASSERT_EQ("OK", StartIq());
  Publish(3 * 1024, 1024);
  ExpectBlocks(0, 3, 0);
  ASSERT_EQ("OK", Do("stop iq"));
  Publish(4 * 1024, 1024);  // nothing runs: not sent
  ExpectQuiet();
  ASSERT_EQ("OK", StartIq());
  Publish(2 * 1024, 1024);
  ExpectBlocks(3, 2, 7 * 1024);
}

TEST_F(Stream, DetachPausesAndAttachResumesWithTheNextBlock) {
  ASSERT_EQ("OK 192000", Do("attach 20"));
  ASSERT_EQ("OK", StartIq());
  Publish(2 * 1024, 1024);
  ExpectBlocks(0, 2, 0);
  ASSERT_EQ("OK", Do("detach 20"));
  Publish(8 * 1024, 1024);
  ExpectQuiet();
  ASSERT_EQ("OK 192000", Do("attach 20"));
  Publish(3 * 1024, 1024);
  ExpectBlocks(2, 3, 10 * 1024);
}

TEST_F(Stream, TwoConnectionsOnOneBandEachGetTheWholeStream) {
  ClientContext other;
  contextInit(other, Loopback(40001));
  std::string attach = "attach 20", start = "start iq " + std::to_string(port);
  ASSERT_EQ("OK 192000", Do(attach));
  ASSERT_STREQ("OK 192000", processCommand(&attach[0], other));
  ASSERT_STREQ("OK", processCommand(&start[0], other));
  Publish(1024, 1024);
  ExpectBlocks(0, 1, 0);  // only the other connection streams so far
  ASSERT_EQ("OK", StartIq());
  Publish(1024, 1024);
  // Both send block 1024..2047; each numbers it on its own.
  std::vector<uint64_t> numbers;
  for (int i = 0; i < 2 * 17; i++) {
    Datagram d;
    ASSERT_TRUE(Receive(d));
    if (d.offset == 0) numbers.push_back(d.block);
  }
  std::sort(numbers.begin(), numbers.end());
  EXPECT_EQ((std::vector<uint64_t>{0, 1}), numbers);
  contextFree(other);
}

TEST_F(Stream, AttachDetachCyclesWhileStreamingAndPublishing) {
  ASSERT_EQ("OK 192000", Do("attach 20"));
  ASSERT_EQ("OK", StartIq());
  for (int i = 0; i < 300; i++) {
    Publish(1024, 1024);
    ASSERT_EQ("OK", Do("detach 20"));
    ASSERT_EQ("OK 192000", Do("attach 20"));
  }
  ASSERT_EQ("OK", Do("stop iq"));
  EXPECT_FALSE(iqSending(ctx));
  EXPECT_EQ(INVALID_SOCKET, ctx.udp);
}

}  // namespace
