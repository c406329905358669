#include "plugin_test_support.h"

#include <string.h>

#include <functional>
#include <mutex>

#include "stream_thread.h"

const std::vector<int32_t> kReopenTriple = {103, 101, 102};
const std::vector<int32_t> kReopenNewRate = {100, 103, 101, 102};

static const DWORD kCallWaitMs = 5000;
// Near three seconds at the tests' rates: a thread held up by a loaded machine is never
// taken for one the publisher overran.
static const int32_t kTestRingBytes = 1 << 22;

static std::mutex g_callsLock;
static std::vector<CallRecord> g_calls;

void __cdecl RecordingCallback(int32_t count, int32_t status, float, void* iqData) {
  CallRecord r = {count, status, 0, 0, 0, 0, State.BandTable[0].L0};
  const int16_t* iq = static_cast<const int16_t*>(iqData);
  if (status == 0 && iq && count > 0) {
    r.firstI = iq[0];
    r.firstQ = iq[1];
    r.lastI = iq[2 * count - 2];
    r.lastQ = iq[2 * count - 1];
  }
  std::lock_guard<std::mutex> hold(g_callsLock);
  g_calls.push_back(r);
}

std::vector<CallRecord> Calls() {
  std::lock_guard<std::mutex> hold(g_callsLock);
  return g_calls;
}

static bool WaitUntil(const std::function<bool()>& done) {
  for (DWORD waited = 0; waited < kCallWaitMs; waited += 5) {
    if (done()) return true;
    Sleep(5);
  }
  return false;
}

bool WaitForCalls(size_t n) {
  return WaitUntil([n] { return Calls().size() >= n; });
}

bool WaitForChannelChange(uint32_t serial) {
  return WaitUntil([serial] { return State.Selected.serial != serial; });
}

bool WaitForRingSize(int32_t ringSize) {
  return WaitUntil([ringSize] { return State.Selected.channel.ringSize == ringSize; });
}

int16_t CounterI(int64_t k) {
  return int16_t((k & 0xFFFF) - 32768);
}
int16_t CounterQ(int64_t k) {
  return int16_t(32767 - (k & 0xFFFF));
}

std::vector<CallRecord> DataCalls(const std::vector<CallRecord>& calls) {
  std::vector<CallRecord> out;
  for (const CallRecord& c : calls)
    if (c.status == 0) out.push_back(c);
  return out;
}

void ExpectSteadyCounter(const std::vector<CallRecord>& data, int32_t count, int64_t first) {
  for (size_t i = 0; i < data.size(); i++) {
    int64_t k = first + int64_t(count) * int64_t(i);
    EXPECT_EQ(data[i].count, count) << i;
    EXPECT_EQ(data[i].firstI, CounterI(k)) << i;
    EXPECT_EQ(data[i].firstQ, CounterQ(k)) << i;
    EXPECT_EQ(data[i].lastI, CounterI(k + count - 1)) << i;
    EXPECT_EQ(data[i].lastQ, CounterQ(k + count - 1)) << i;
  }
}

void ClearCalls() {
  std::lock_guard<std::mutex> hold(g_callsLock);
  g_calls.clear();
}

std::vector<int32_t> Statuses(const std::vector<CallRecord>& calls) {
  std::vector<int32_t> out;
  for (const CallRecord& c : calls)
    if (c.status != 0) out.push_back(c.status);
  return out;
}

void PluginTest::SetUp() {
  memset(pubs_, 0, sizeof pubs_);
  InitPluginState(GetModuleHandleA(nullptr));
  State.HostCallback = RecordingCallback;
  ClearCalls();
}

void PluginTest::TearDown() {
  StopStreamThread();
  FreePluginState();
  for (Publisher& p : pubs_) PublisherClose(p);
}

Publisher& PluginTest::Publish(int band, int32_t rate, int32_t block, int32_t l0) {
  EXPECT_TRUE(PublisherCreate(pubs_[band], band, rate, block, l0, kTestRingBytes));
  return pubs_[band];
}

void PluginTest::WriteCounter(Publisher& pub, int32_t samples) {
  iq_.resize(size_t(samples) * 2);
  CounterPattern(pub.samplesWritten, samples, iq_.data());
  PublisherWrite(pub, iq_.data(), samples);
}

int32_t PluginTest::StartStreaming(int band) {
  ProbeBands();
  State.SelectedBand = band;
  int32_t count = StartStreamThread();
  EXPECT_TRUE(WaitForCalls(kReopenNewRate.size()));
  EXPECT_EQ(Statuses(Calls()), kReopenNewRate);
  ClearCalls();
  return count;
}
