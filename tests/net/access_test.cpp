#include <gtest/gtest.h>

#include <string.h>

#include <initializer_list>

#include "access.h"
#include "options.h"

namespace {

uint32_t Ip(const char* text) {
  const char* end = nullptr;
  uint32_t a = 0;
  EXPECT_TRUE(ParseIpv4(text, &end, &a)) << text;
  return a;
}

struct Parsed {
  OptionsResult result;
  NetOptions options;
  char error[kOptionsErrorSize];
};

Parsed Parse(std::initializer_list<const char*> args) {
  char* argv[16] = {const_cast<char*>("VEXA_Net")};
  int argc = 1;
  for (const char* a : args) argv[argc++] = const_cast<char*>(a);
  Parsed p{};
  p.result = ParseNetOptions(argc, argv, p.options, p.error);
  return p;
}

const char* const kLan[] = {"127.0.0.1", "192.168.1.30", "10.9.8.7", "172.16.0.1", "169.254.3.3"};

// "private" names the list a server without --allow has, so it can be kept
// while a network is added; an --allow without it admits only what it names.
TEST(Allow, PrivateKeepsTheLocalNetworksAndAnAllowAloneAdmitsOnlyItself) {
  Parsed added = Parse({"--allow", "private", "--allow", "203.0.113.0/24"});
  ASSERT_EQ(kOptionsRun, added.result);
  for (const char* ok : kLan) EXPECT_TRUE(AccessAllows(added.options.allow, Ip(ok))) << ok;
  EXPECT_TRUE(AccessAllows(added.options.allow, Ip("203.0.113.9")));
  EXPECT_FALSE(AccessAllows(added.options.allow, Ip("203.0.114.9")));

  Parsed addedFirst = Parse({"--allow", "203.0.113.0/24", "--allow", "private"});
  ASSERT_EQ(kOptionsRun, addedFirst.result);
  EXPECT_TRUE(AccessAllows(addedFirst.options.allow, Ip("192.168.1.30")));
  EXPECT_TRUE(AccessAllows(addedFirst.options.allow, Ip("203.0.113.9")));

  Parsed one = Parse({"--allow", "192.168.1.20/32"});
  ASSERT_EQ(kOptionsRun, one.result);
  EXPECT_TRUE(AccessAllows(one.options.allow, Ip("192.168.1.20")));
  for (const char* no : kLan) EXPECT_FALSE(AccessAllows(one.options.allow, Ip(no))) << no;

  // Six times the five private networks overflow the 32 rules: refused, not cut.
  Parsed many =
      Parse({"--allow", "private", "--allow", "private", "--allow", "private", "--allow", "private",
             "--allow", "private", "--allow", "private", "--allow", "private"});
  EXPECT_EQ(kOptionsBad, many.result);
  EXPECT_STREQ("bad value for --allow: 'private'", many.error);

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
  EXPECT_EQ(kVexaPort, Parse({}).options.vexaPort);
  EXPECT_EQ(11000, kVexaPort);
  Parsed moved = Parse({"--port", "12000"});
  ASSERT_EQ(kOptionsRun, moved.result);
  EXPECT_EQ(12000, moved.options.vexaPort);
  Parsed off = Parse({"--port", "0", "--rtltcp", "1234"});
  ASSERT_EQ(kOptionsRun, off.result);
  EXPECT_EQ(0, off.options.vexaPort);

  Parsed nothing = Parse({"--port", "0"});
  EXPECT_EQ(kOptionsBad, nothing.result);
  EXPECT_NE(nullptr, strstr(nothing.error, "add --spyserver or --rtltcp")) << nothing.error;
  for (const char* bad : {"65536", "-1", "12x", ""})
    EXPECT_EQ(kOptionsBad, Parse({"--port", bad}).result) << bad;
  EXPECT_EQ(kOptionsBad, Parse({"--port"}).result);
}

}  // namespace
