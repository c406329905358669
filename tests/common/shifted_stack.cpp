#include "shifted_stack.h"

// The frame's size is the point: the writes around the call keep the buffer, and
// with it the frame, alive while probe runs.
template <int Size>
static void CallThroughFrame(void (*probe)(void*), void* context) {
  volatile char frame[Size];
  frame[0] = 0;
  probe(context);
  frame[Size - 1] = frame[0];
}

// Called through a volatile table so that no call is inlined into this frame.
static void (*const volatile kCallers[kStackShifts])(void (*)(void*), void*) = {
    CallThroughFrame<1 * kStackStep>, CallThroughFrame<2 * kStackStep>,
    CallThroughFrame<3 * kStackStep>, CallThroughFrame<4 * kStackStep>,
    CallThroughFrame<5 * kStackStep>, CallThroughFrame<6 * kStackStep>,
    CallThroughFrame<7 * kStackStep>, CallThroughFrame<8 * kStackStep>};

void CallAtEveryStackShift(void (*probe)(void*), void* context) {
  for (int i = 0; i < kStackShifts; i++) kCallers[i](probe, context);
}
