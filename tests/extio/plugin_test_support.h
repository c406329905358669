// A recording host callback and a fixture that gives every test fresh module state
// and in-process bands.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "plugin_state.h"
#include "publisher.h"

struct CallRecord {
  int32_t count;
  int32_t status;
  int16_t firstI, firstQ, lastI, lastQ;  // of a data call
  int32_t tableL0;                       // BandTable[0].L0 when the call came
};

void __cdecl RecordingCallback(int32_t count, int32_t status, float iqOffset, void* iqData);

// A copy of the calls so far.
std::vector<CallRecord> Calls();

// Waits, bounded, until at least n calls came; false if they did not.
bool WaitForCalls(size_t n);

// Waits, bounded, until the channel was closed or reopened since State.Selected.serial
// was serial; false if it was not.
bool WaitForChannelChange(uint32_t serial);

// Waits, bounded, until SelectedChannel reads a ring of ringSize bytes.
bool WaitForRingSize(int32_t ringSize);

// Counter sample k at scale factor 16: I = m - 32768, Q = 32767 - m, m = k mod 65536.
int16_t CounterI(int64_t k);
int16_t CounterQ(int64_t k);

// The data calls among the calls, in order.
std::vector<CallRecord> DataCalls(const std::vector<CallRecord>& calls);

// Every data call carries count samples, the counter going on from `first`.
void ExpectSteadyCounter(const std::vector<CallRecord>& data, int32_t count, int64_t first);

// Forgets the calls so far.
void ClearCalls();

// The status codes among the calls, in order.
std::vector<int32_t> Statuses(const std::vector<CallRecord>& calls);

extern const std::vector<int32_t> kReopenTriple;   // the host knows the rate already
extern const std::vector<int32_t> kReopenNewRate;  // 100 first: the rate is new to it

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Publishes band with a 64 KB ring; the publisher is closed after the test.
  Publisher& Publish(int band, int32_t rate, int32_t block, int32_t l0);

  // Writes samples of the counter pattern, continuing where the band left off.
  void WriteCounter(Publisher& pub, int32_t samples);

  // Probes, selects band and starts the thread; waits for the thread's reopen and
  // forgets its status calls. Returns StartHW's count.
  int32_t StartStreaming(int band);

  Publisher pubs_[kBandCount];
  std::vector<float> iq_;
};
