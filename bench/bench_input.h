// What the signal-path benchmarks share: their clock and their input.
#pragma once

#include <math.h>

#include <chrono>
#include <vector>

inline double BenchNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Interleaved I/Q: a tone of amplitude `level` (the band's scale) and a little of
// everything else.
inline void BenchInput(std::vector<float>& iq, double level) {
  for (size_t i = 0; i < iq.size() / 2; i++) {
    const double a = 2 * 3.14159265358979323846 * 0.1234567 * i;
    iq[2 * i] = float(level * cos(a) + 1e5 * sin(0.77 * i * i));
    iq[2 * i + 1] = float(level * sin(a) + 1e5 * cos(0.31 * i * i));
  }
}
