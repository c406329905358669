#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "net_test_support.h"

namespace {

const char kOk[] = "OK";
const char kInvalid[] = "Error: Invalid Command";
const char kNotImplemented[] = "Error: Not Implemented Command";
const char kAlreadyAttached[] = "Error: Client is already attached to receiver";
const char kCantAttach[] = "Error: Can't attach to receiver";
const char kNotAttached[] = "Error: Client is not attached to receiver";
const char kOtherReceiver[] = "Error: Client is attached to other receiver";
const char kAlreadySending[] = "Error: iq data are already in sending";
const char kNotSending[] = "Error: iq data are not in sending";
const char kQuit[] = "Client requested to quit ... bye !";

std::vector<std::string> Split(std::string text, int maxWords = kMaxWords) {
  char* words[kMaxWords];
  int n = splitWords(&text[0], words, maxWords);
  return std::vector<std::string>(words, words + n);
}

TEST(SplitWords, SeparatesOnRunsOfSpaceCrLfButNotTab) {
  EXPECT_EQ((std::vector<std::string>{"attach", "0"}), Split("attach 0\r\n"));
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), Split(" \r\n a\r\n\r\nb  c \n"));
  EXPECT_EQ((std::vector<std::string>{"attach\t0"}), Split("attach\t0"));
  EXPECT_TRUE(Split("").empty());
  EXPECT_TRUE(Split(" \r\n \n").empty());
}

TEST(SplitWords, StopsAfterFifteenWords) {
  std::string text;
  for (int i = 0; i < 20; i++) text += "w" + std::to_string(i) + " ";
  std::vector<std::string> words = Split(text);
  ASSERT_EQ(15u, words.size());
  EXPECT_EQ("w14", words.back());
}

class Commands : public ServerTest {
 protected:
  std::string Do(std::string request) { return processCommand(&request[0], ctx); }
  // Runs each request in turn and checks its reply.
  void Expect(const std::vector<std::pair<std::string, std::string>>& dialogue) {
    for (const auto& step : dialogue) EXPECT_EQ(step.second, Do(step.first)) << step.first;
  }
};

TEST_F(Commands, DetachedConnectionAnswersEveryCommand) {
  Expect({
      {"", kInvalid},
      {"\r\n", kInvalid},
      {"hardware?", kInvalid},
      {"HARDWARE? 1 2", kInvalid},
      {"attachx 20", kNotImplemented},
      {"attach\t20", kNotImplemented},
      {"bogus", kNotImplemented},
      {"attach", kInvalid},
      {"detach 20", kNotAttached},
      {"detach", kNotAttached},
      {"lo? 20", kNotAttached},
      {"frequency 7000", kNotAttached},
      {"start", kInvalid},
      {"start foo 5000", kInvalid},
      {"start iq", kInvalid},
      {"start iq 0", kInvalid},
      {"start iq -5", kInvalid},
      {"start iq x", kInvalid},
      {"start iq 65536", kInvalid},
      {"start iq 5000", kNotAttached},
      {"start bandscope 1", kOk},
      {"START BANDSCOPE 1", kOk},
      {"start bandscope 0", kInvalid},
      {"start bandscope 65536", kOk},
      {"start bandscope", kInvalid},
      {"stop", kInvalid},
      {"stop foo", kInvalid},
      {"stop iq", kNotAttached},
      {"stop bandscope", kOk},
      {"quit", kQuit},
      {"QuIt now", kQuit},
  });
  EXPECT_FALSE(iqSending(ctx));
}

TEST_F(Commands, AttachedConnectionChecksTheBandNumber) {
  Expect({
      {"ATTACH 20", "OK 192000"},
      {"attach 20", kAlreadyAttached},
      {"attach 21", kAlreadyAttached},
      {"lo? 21", kOtherReceiver},
      {"detach 21", kOtherReceiver},
      {"lo?", kInvalid},
      {"detach", kInvalid},
      {"lo? 20", "OK 7050000"},
      {"lo? 020xyz", "OK 7050000"},
      {"frequency", kInvalid},
      {"frequency 14000000", kOk},
  });
  pub.header->L0 = 14000000;  // seen only by a new attach
  Expect({
      {"lo? 20", "OK 7050000"},
      {"detach +20", kOk},
      {"lo? 20", kNotAttached},
      {"detach 20", kNotAttached},
      {"attach 20", "OK 192000"},
      {"lo? 20", "OK 14000000"},
  });
}

TEST_F(Commands, FailedAttachKeepsTheNumberButStaysDetached) {
  Expect({{"attach 7", kCantAttach}, {"detach 7", kNotAttached}});
  EXPECT_EQ(kUnpublishedBand, ctx.bandNumber);
  Expect({{"attach 99999999999", kCantAttach}, {"attach -99999999999", kCantAttach}});
  EXPECT_EQ(INT32_MIN, ctx.bandNumber);
  Expect({{"attach -1", kCantAttach}, {"attach 32", kCantAttach}, {"attach 20", "OK 192000"}});
}

TEST_F(Commands, OnlyTheFirstLineOfARequestCounts) {
  Expect({{"attach 20\r\nlo? 20\r\n", "OK 192000"}, {"detach 20\r\ndetach 20\r\n", kOk}});
  EXPECT_EQ(nullptr, ctx.band.channel.view);
}

TEST_F(Commands, StartAndStopIq) {
  Expect({
      {"attach 20", "OK 192000"},
      {"Start IQ 5000", kOk},
      {"start iq 5000", kAlreadySending},
      {"start bandscope 1", kOk},
      {"stop bandscope", kOk},
      {"stop iq", kOk},
      {"stop iq", kNotSending},
      {"start iq 5000", kOk},
  });
  EXPECT_TRUE(iqSending(ctx));
}

// Numbers whose low 16 bits are 0 would stream to port 0, where nobody receives.
TEST_F(Commands, PortIsTheNumbersLowSixteenBits) {
  Expect({{"attach 20", "OK 192000"},
          {"start iq 65536", kInvalid},
          {"start iq 131072", kInvalid},
          {"start iq 70000", kOk}});
  EXPECT_EQ(htons(4464), ctx.destination.sin_port);
  EXPECT_EQ(AF_INET, ctx.destination.sin_family);
  EXPECT_EQ(htonl(INADDR_LOOPBACK), ctx.destination.sin_addr.s_addr);
  Expect({{"stop iq", kOk}, {"start iq 99999999999", kOk}});
  EXPECT_EQ(htons(0xFFFF), ctx.destination.sin_port);  // saturated at 2^31 - 1
}

TEST_F(Commands, DetachLeavesTheStreamRunningUntilAttachAndStop) {
  Expect({
      {"attach 20", "OK 192000"},
      {"start iq 5000", kOk},
      {"detach 20", kOk},
      {"stop iq", kNotAttached},
      {"start iq 5000", kNotAttached},
  });
  EXPECT_TRUE(iqSending(ctx));
  Expect({{"attach 20", "OK 192000"}, {"stop iq", kOk}});
  EXPECT_FALSE(iqSending(ctx));
}

TEST_F(Commands, RepliesBelongToTheirConnection) {
  ClientContext other;
  contextInit(other, Loopback(40001));
  std::string attach = "attach 20", lo = "lo? 20";
  const char* first = processCommand(&attach[0], ctx);
  attach = "attach 20";
  processCommand(&attach[0], other);
  const char* second = processCommand(&lo[0], other);
  EXPECT_STREQ("OK 192000", first);
  EXPECT_STREQ("OK 7050000", second);
  contextFree(other);
  contextFree(other);  // harmless twice
}

}  // namespace
