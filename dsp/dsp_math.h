// Constants and small checks the signal path's files share.
#pragma once

const double kPi = 3.14159265358979323846;
const double kTwoPi = 2.0 * kPi;

inline bool IsPowerOfTwo(int n) {
  return n > 0 && (n & (n - 1)) == 0;
}
