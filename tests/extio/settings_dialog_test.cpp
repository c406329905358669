// The scale factor as the up-down control reports it, through a stand-in control
// that answers UDM_GETPOS with whatever the test sets.
#include "plugin_test_support.h"

#include <commctrl.h>

#include "resource.h"
#include "settings_dialog.h"
#include "stream_thread.h"

static LRESULT g_answer;

static LRESULT CALLBACK FakeSpinProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == UDM_GETPOS) return g_answer;
  return DefWindowProcA(window, message, wParam, lParam);
}

class ScaleFactorTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    WNDCLASSA wc = {};
    wc.lpfnWndProc = FakeSpinProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "FakeSpin";
    RegisterClassA(&wc);
    parent_ = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr,
                              nullptr);
    HWND spin = CreateWindowExA(0, "FakeSpin", "", WS_CHILD, 0, 0, 10, 10, parent_,
                                reinterpret_cast<HMENU>(IDC_SCALE_SPIN), nullptr, nullptr);
    if (!spin) GTEST_SKIP() << "no windows here (no display?)";
  }
  void TearDown() override {
    if (parent_) DestroyWindow(parent_);
    PluginTest::TearDown();
  }

  int32_t After(LRESULT answer) {
    g_answer = answer;
    EXPECT_EQ(SettingsDialogProc(parent_, WM_NOTIFY, IDC_SCALE_SPIN, 0), TRUE);
    return State.ScaleFactor;
  }

  HWND parent_ = nullptr;
};

// Each change is announced once, so the host's gain control follows.
TEST_F(ScaleFactorTest, FollowsTheControlWithinItsRange) {
  EXPECT_EQ(After(MAKELRESULT(0, 0)), 0);
  EXPECT_EQ(After(MAKELRESULT(24, 0)), 24);
  EXPECT_EQ(After(MAKELRESULT(7, 0)), 7);
  EXPECT_EQ(After(MAKELRESULT(7, 0)), 7);
  EXPECT_EQ(Statuses(Calls()), std::vector<int32_t>(3, kStatusAttenuatorChanged));
}

TEST_F(ScaleFactorTest, IgnoresAnAnswerWithTheErrorFlag) {
  After(MAKELRESULT(12, 0));
  EXPECT_EQ(After(MAKELRESULT(40, 1)), 12);
  EXPECT_EQ(After(MAKELRESULT(0, 1)), 12);
}

TEST_F(ScaleFactorTest, ClampsPositionsOutsideTheRange) {
  EXPECT_EQ(After(MAKELRESULT(25, 0)), 24);
  EXPECT_EQ(After(MAKELRESULT(0xFFFF, 0)), 0);  // -1
  EXPECT_EQ(After(MAKELRESULT(0x8000, 0)), 0);
}

// The spinner scrolls after it has moved; its notification came before the move.
TEST_F(ScaleFactorTest, ScrollFromTheSpinnerTakesTheNewPosition) {
  LPARAM spin = reinterpret_cast<LPARAM>(GetDlgItem(parent_, IDC_SCALE_SPIN));
  g_answer = MAKELRESULT(9, 0);
  EXPECT_EQ(SettingsDialogProc(parent_, WM_VSCROLL, SB_THUMBPOSITION, spin), TRUE);
  EXPECT_EQ(State.ScaleFactor, 9);
  g_answer = MAKELRESULT(3, 0);
  LPARAM other = reinterpret_cast<LPARAM>(parent_);
  EXPECT_EQ(SettingsDialogProc(parent_, WM_VSCROLL, SB_THUMBPOSITION, other), FALSE);
  EXPECT_EQ(State.ScaleFactor, 9);
}

TEST_F(ScaleFactorTest, OtherMessagesLeaveItAlone) {
  State.ScaleFactor = 16;
  g_answer = MAKELRESULT(3, 0);
  EXPECT_EQ(SettingsDialogProc(parent_, WM_COMMAND, MAKEWPARAM(1004, EN_CHANGE), 0), TRUE);
  EXPECT_EQ(SettingsDialogProc(parent_, WM_TIMER, 1, 0), FALSE);
  EXPECT_EQ(State.ScaleFactor, 16);
}

// The fill, on the same window with its stand-in control.
class DialogFillTest : public ScaleFactorTest {};

// The window is shown again (by the user, or by a host that brings it up when told
// the LO moved) just after the publisher changed the band's LO or block length, with
// half a call waiting in the ring and the change not yet seen by the streaming
// thread. Fifty times over: each change is announced once, and the stream goes on
// in calls of StartHW's count with nothing skipped.
TEST_F(DialogFillTest, ShownAgainAfterAHeaderChangeTheStreamSkipsNothing) {
  Publisher& pub = Publish(0, 192000, 1024, 7050000);
  int32_t count = StartStreaming(0);
  const int kChanges = 50;
  for (int i = 0; i < kChanges; i++) {
    WriteCounter(pub, count / 2);
    if (i % 2)
      pub.header->BlockInSamples = pub.header->BlockInSamples == 1024 ? 512 : 1024;
    else
      pub.header->L0 += 1000;
    FillSettingsDialog(parent_);
    WriteCounter(pub, count / 2);
    ASSERT_TRUE(WaitForCalls(size_t(i + 1) * (1 + kReopenTriple.size())))
        << "change " << i << ": no data call, the half call before it was skipped";
  }
  EXPECT_TRUE(StopStreamThread());
  std::vector<CallRecord> calls = Calls();
  ExpectSteadyCounter(DataCalls(calls), count, 0);
  EXPECT_EQ(DataCalls(calls).size(), size_t(kChanges));
  EXPECT_EQ(Statuses(calls).size(), kChanges * kReopenTriple.size());
  EXPECT_EQ(State.BandTable[0].L0, 7050000 + kChanges / 2 * 1000);
}
