// What the server's unit tests share: Winsock, a published band and a context.
#pragma once

#include <gtest/gtest.h>

#include "iq_streamer.h"
#include "publisher.h"

const int kTestBand = 20;        // published by the tests
const int kUnpublishedBand = 7;  // never published here
const int32_t kTestRate = 192000;
const int32_t kTestL0 = 7050000;

// Winsock and band kTestBand for each test; ctx is a fresh connection from
// 127.0.0.1.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WSADATA wsa;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &wsa));
    ASSERT_TRUE(PublisherCreate(pub, kTestBand, kTestRate, 2048, kTestL0, 1 << 20));
    contextInit(ctx, Loopback(40000));
  }
  void TearDown() override {
    contextFree(ctx);
    PublisherClose(pub);
    WSACleanup();
  }
  static sockaddr_in Loopback(u_short port) {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
  }
  Publisher pub;
  ClientContext ctx;
};
