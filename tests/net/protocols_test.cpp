#include <gtest/gtest.h>

#include <string.h>

#include "access.h"
#include "client_queue.h"
#include "command_guard.h"
#include "options.h"
#include "rtltcp/rtl_protocol.h"
#include "spyserver/spy_protocol.h"
#include "stream_client.h"

namespace {

uint32_t Ip(const char* text) {
  const char* end = nullptr;
  uint32_t a = 0;
  EXPECT_TRUE(ParseIpv4(text, &end, &a)) << text;
  return a;
}

TEST(Access, DefaultsAdmitLocalNetworksOnlyAndRulesParseStrictly) {
  AccessList list;
  AccessDefaults(list);
  for (const char* ok : {"127.0.0.2", "10.1.2.3", "172.31.255.1", "192.168.7.7", "169.254.1.1"})
    EXPECT_TRUE(AccessAllows(list, Ip(ok))) << ok;
  for (const char* no : {"172.32.0.1", "8.8.8.8", "192.169.0.1", "11.0.0.1"})
    EXPECT_FALSE(AccessAllows(list, Ip(no))) << no;
  AccessRule r;
  ASSERT_TRUE(ParseCidr("0.0.0.0/0", &r));
  EXPECT_EQ(0u, r.mask);
  ASSERT_TRUE(ParseCidr("192.168.1.77/24", &r));
  EXPECT_EQ(Ip("192.168.1.0"), r.network);
  ASSERT_TRUE(ParseCidr("10.0.0.5", &r));
  EXPECT_EQ(0xFFFFFFFFu, r.mask);
  for (const char* bad : {"10.0.0.0/33", "256.0.0.0/8", "10.0.0/8", "10.0.0.0/", "10.0.0.0/8x",
                          "1.2.3.4.5", "", "a.b.c.d", "1.2.3.0004"})
    EXPECT_FALSE(ParseCidr(bad, &r)) << bad;
}

// Parses args after the program's name; error, when given, receives the message.
OptionsResult Parse(std::initializer_list<const char*> args, NetOptions& o, char* error = nullptr) {
  char* argv[16] = {const_cast<char*>("VEXA_Net")};
  int argc = 1;
  for (const char* a : args) argv[argc++] = const_cast<char*>(a);
  char ignored[kOptionsErrorSize];
  return ParseNetOptions(argc, argv, o, error ? error : ignored);
}

TEST(Options, NoneKeepTodaysServerAndEachOptionIsChecked) {
  NetOptions o;
  ASSERT_EQ(kOptionsRun, Parse({}, o));
  EXPECT_EQ(0, o.spyBasePort);
  EXPECT_EQ(0, o.rtlPort);
  EXPECT_EQ(0u, o.bind);
  EXPECT_EQ(5, o.allow.count);
  ASSERT_EQ(kOptionsRun,
            Parse({"--spyserver", "5555", "--rtltcp", "1234", "--bind", "127.0.0.2", "--allow",
                   "10.0.0.0/8", "--allow", "1.2.3.4/32", "--max-clients", "4"},
                  o));
  EXPECT_EQ(5555, o.spyBasePort);
  EXPECT_EQ(1234, o.rtlPort);
  EXPECT_EQ(Ip("127.0.0.2"), o.bind);
  EXPECT_EQ(2, o.allow.count);  // --allow replaces the defaults
  EXPECT_FALSE(AccessAllows(o.allow, Ip("127.0.0.1")));
  EXPECT_EQ(4, o.maxClients);
  EXPECT_EQ(kOptionsHelp, Parse({"--rtltcp", "1", "--help"}, o));
  for (auto bad : {std::initializer_list<const char*>{"--spyserver", "65505"},
                   {"--spyserver", "0"},
                   {"--rtltcp", "12x"},
                   {"--max-clients", "33"},
                   {"--bind", "localhost"},
                   {"--allow"},
                   {"--verbose"}})
    EXPECT_EQ(kOptionsBad, Parse(bad, o)) << *bad.begin();
}

const char* const kLan[] = {"127.0.0.1", "192.168.1.30", "10.9.8.7", "172.16.0.1", "169.254.3.3"};

// "private" names the list a server without --allow has, so it can be kept
// while a network is added; an --allow without it admits only what it names.
TEST(Allow, PrivateKeepsTheLocalNetworksAndAnAllowAloneAdmitsOnlyItself) {
  NetOptions o;
  ASSERT_EQ(kOptionsRun, Parse({"--allow", "private", "--allow", "203.0.113.0/24"}, o));
  for (const char* ok : kLan) EXPECT_TRUE(AccessAllows(o.allow, Ip(ok))) << ok;
  EXPECT_TRUE(AccessAllows(o.allow, Ip("203.0.113.9")));
  EXPECT_FALSE(AccessAllows(o.allow, Ip("203.0.114.9")));

  ASSERT_EQ(kOptionsRun, Parse({"--allow", "203.0.113.0/24", "--allow", "private"}, o));
  EXPECT_TRUE(AccessAllows(o.allow, Ip("192.168.1.30")));
  EXPECT_TRUE(AccessAllows(o.allow, Ip("203.0.113.9")));

  ASSERT_EQ(kOptionsRun, Parse({"--allow", "192.168.1.20/32"}, o));
  EXPECT_TRUE(AccessAllows(o.allow, Ip("192.168.1.20")));
  for (const char* no : kLan) EXPECT_FALSE(AccessAllows(o.allow, Ip(no))) << no;

  // Six times the five private networks overflow the 32 rules: refused, not cut.
  char error[kOptionsErrorSize];
  EXPECT_EQ(kOptionsBad,
            Parse({"--allow", "private", "--allow", "private", "--allow", "private", "--allow",
                   "private", "--allow", "private", "--allow", "private", "--allow", "private"},
                  o, error));
  EXPECT_STREQ("bad value for --allow: 'private'", error);

  char hint[kAccessHintSize];
  AccessHint(Ip("203.0.113.9"), hint);
  EXPECT_STREQ(
      "to admit it, start VEXA_Net with --allow private --allow 203.0.113.9 (or 203.0.113.0/24 "
      "for its network)",
      hint);
}

// The VEXA protocol's port stays 11000 unless moved; 0 turns it off, which
// leaves a server with nothing to serve unless another protocol is on.
TEST(Port, MovesOrTurnsOffTheVexaProtocolButNeverLeavesNothingToServe) {
  NetOptions o;
  ASSERT_EQ(kOptionsRun, Parse({}, o));
  EXPECT_EQ(11000, o.vexaPort);
  ASSERT_EQ(kOptionsRun, Parse({"--port", "12000"}, o));
  EXPECT_EQ(12000, o.vexaPort);
  ASSERT_EQ(kOptionsRun, Parse({"--port", "0", "--rtltcp", "1234"}, o));
  EXPECT_EQ(0, o.vexaPort);

  char error[kOptionsErrorSize];
  EXPECT_EQ(kOptionsBad, Parse({"--port", "0"}, o, error));
  EXPECT_NE(nullptr, strstr(error, "add --spyserver or --rtltcp")) << error;
  for (const char* bad : {"65536", "-1", "12x", ""})
    EXPECT_EQ(kOptionsBad, Parse({"--port", bad}, o)) << bad;
  EXPECT_EQ(kOptionsBad, Parse({"--port"}, o));
}

TEST(Queue, ASlowReaderLosesTheOldestButNeverAKeptReplyOrThePartSent) {
  ClientQueue q;
  ASSERT_TRUE(QueueInit(q));
  uint8_t* reply = QueueTake(q);
  reply[0] = 'R';
  QueuePush(q, reply, 1, true);
  for (int i = 0; i < kQueueEntries + 5; i++) {
    uint8_t* b = QueueTake(q);
    b[0] = uint8_t(i);
    QueuePush(q, b, 1, false);
  }
  EXPECT_EQ(6, QueueTakeDrops(q));  // 33 pushed behind the reply, room for 31, one more
  ASSERT_EQ(kQueueEntries, q.count);
  EXPECT_EQ('R', q.entries[0].data[0]);
  EXPECT_EQ(6, q.entries[1].data[0]);
  QueueFlush(q);
  EXPECT_EQ(1, q.count);
  QueueReset(q);
  EXPECT_TRUE(QueueEmpty(q));
  EXPECT_EQ(kQueueBuffers, q.spareCount);
  QueueFree(q);
  QueueFree(q);
}

TEST(SpyServer, CommandsAreParsedAsAStreamAndLongBodiesRefused) {
  const uint8_t bytes[] = {2, 0, 0, 0, 8, 0, 0, 0, 102, 0, 0, 0,
                           3, 0, 0, 0, 3, 0, 0, 0, 0,   0, 0, 0};
  SpyParser p = {};
  SpyCommand cmd;
  int used = 0;
  int got = 0;
  for (size_t i = 0; i < sizeof bytes; i++) {
    SpyParseResult r = SpyFeed(p, bytes + i, 1, &used, &cmd);
    EXPECT_EQ(1, used);
    if (r == kSpyGotCommand) {
      got++;
      EXPECT_EQ(got == 1 ? kSpySetSetting : kSpyPing, cmd.type);
    }
  }
  EXPECT_EQ(2, got);
  EXPECT_EQ(kSpyIqDecimation, SpyGetU32(bytes + 8));
  const uint8_t huge[] = {0, 0, 0, 0, 1, 1, 0, 0};  // BodySize 257
  EXPECT_EQ(kSpyBodyTooLong, SpyFeed(p, huge, sizeof huge, &used, &cmd));
}

TEST(SpyServer, BandsGetStagesDownToAbout3kHzAndCentresStayInside) {
  SpyDevice d;
  const int32_t rates[] = {48000, 96000, 192000, 384000, 768000, 200000};
  const uint32_t stages[] = {6, 6, 6, 7, 8, 6};
  for (int i = 0; i < 6; i++) {
    SpyDescribeBand(3, rates[i], 7050000, &d);
    EXPECT_EQ(stages[i], d.stages) << rates[i];
  }
  SpyDescribeBand(0, 192000, 7050000, &d);
  EXPECT_EQ(7050000u, SpyClampCentre(d, 0, 7000000));
  EXPECT_EQ(7050000u - 84000, SpyClampCentre(d, 3, 0));
  EXPECT_EQ(7060000u, SpyClampCentre(d, 3, 7060000));
  uint8_t out[128];
  ASSERT_EQ(20 + 48, SpyPutDeviceInfo(out, d));
  EXPECT_EQ(kSpyProtocolId, SpyGetU32(out));
  EXPECT_EQ(48u, SpyGetU32(out + 16));
  EXPECT_EQ(2u, SpyGetU32(out + 20));        // DeviceType
  EXPECT_EQ(6954000u, SpyGetU32(out + 48));  // MinimumFrequency
  ASSERT_EQ(20 + 36, SpyPutClientSync(out, d, 7060000, 7040000, false));
  EXPECT_EQ(0u, SpyGetU32(out + 20));        // CanControl
  EXPECT_EQ(7060000u, SpyGetU32(out + 32));  // IQCenterFrequency
  EXPECT_EQ(7040000u, SpyGetU32(out + 36));  // FFTCenterFrequency
  EXPECT_EQ(6954000u, SpyGetU32(out + 48));  // MinimumFFTCenterFrequency: the band's edge
  SpyPutClientSync(out, d, 7060000, 7040000, true);
  EXPECT_EQ(1u, SpyGetU32(out + 20));
}

TEST(SpyServer, OnlySoapySdrsModuleIsToldItMayControl) {
  auto hello = [](const char* name) {
    uint8_t body[64] = {0xA4, 0x06, 0x00, 0x02};
    size_t n = strlen(name);
    memcpy(body + 4, name, n);
    return SpyHelloGrantsControl(body, uint32_t(4 + n));
  };
  EXPECT_TRUE(hello("SoapySDR"));
  for (const char* other : {"SDR# v1.0.0.1920 on Windows 10", "SDR++", "SDRangel", "Soapy", ""})
    EXPECT_FALSE(hello(other)) << other;
}

TEST(RtlTcp, HeaderCommandsRatesAndTheBandForAFrequency) {
  uint8_t h[kRtlHeaderBytes];
  RtlPutHeader(h);
  EXPECT_EQ(0, memcmp(h, "RTL0\0\0\0\x05\0\0\0\x1d", 12));
  const uint8_t bytes[] = {0x01, 0x00, 0x6B, 0x93, 0xD0, 0x02};
  RtlParser p = {};
  RtlCommand cmd;
  for (int i = 0; i < 4; i++) EXPECT_FALSE(RtlFeedByte(p, bytes[i], &cmd));
  ASSERT_TRUE(RtlFeedByte(p, bytes[4], &cmd));
  EXPECT_EQ(0x01, cmd.id);
  EXPECT_EQ(7050192u, cmd.value);
  EXPECT_FALSE(RtlFeedByte(p, bytes[5], &cmd));
  EXPECT_EQ(1, p.have);
  EXPECT_TRUE(RtlRateValid(250000) && RtlRateValid(3200000) && RtlRateValid(1024000));
  EXPECT_FALSE(RtlRateValid(225000) || RtlRateValid(500000) || RtlRateValid(3200001));
  BandEntry table[3] = {
      {192000, 2048, 7050000, 4194304, {}}, {0, 0, 0, 0, {}}, {96000, 2048, 14074000, 4194304, {}}};
  bool inside = false;
  EXPECT_EQ(2, RtlPickBand(table, 3, 14100000, &inside));
  EXPECT_TRUE(inside);
  EXPECT_EQ(0, RtlPickBand(table, 3, 7200000, &inside));
  EXPECT_FALSE(inside);
  EXPECT_EQ(-1, RtlPickBand(table + 1, 1, 7050000, &inside));
  EXPECT_TRUE(RtlBandFits(table[0], 7050000 - 200000, 1024000));
  EXPECT_TRUE(RtlBandFits(table[0], 7050000 + 416000, 1024000));
  EXPECT_FALSE(RtlBandFits(table[0], 7050000 + 416001, 1024000));
  EXPECT_FALSE(RtlBandFits(table[0], 7200000, 250000));
}

TEST(Guard, FloodsAndHalfSentCommandsAreCaught) {
  CommandGuard g;
  char why[kReasonSize];
  GuardInit(g, 1000);
  for (int i = 0; i < kMaxCommandsPerSecond; i++) ASSERT_TRUE(GuardCommand(g, why));
  EXPECT_FALSE(GuardCommand(g, why));
  EXPECT_NE(nullptr, strstr(why, "flood"));
  ASSERT_TRUE(GuardTimeout(g, 2000, why));
  EXPECT_TRUE(GuardCommand(g, why));  // a new second
  GuardBytes(g, true);
  EXPECT_TRUE(GuardTimeout(g, 2000 + kHalfCommandMs - 1, why));
  GuardBytes(g, true);  // still the same command
  EXPECT_FALSE(GuardTimeout(g, 2000 + kHalfCommandMs, why));
  GuardBytes(g, false);
  EXPECT_TRUE(GuardTimeout(g, 100000, why));
}

}  // namespace
