// Which optional instruction sets this processor offers. Each subsystem asks
// once, on its first use, and keeps the kernel it picked for the process.
#pragma once

#include <atomic>

namespace dibjpeg {

// 1 when the AVX2 kernels are in use, 0 when not, -1 until the first query.
extern std::atomic<int> Avx2KernelsState;
bool DetectAvx2KernelsOnce();

// True when the AVX2 kernels were built in and the processor and operating
// system support them: AVX2 together with BMI1, BMI2 and LZCNT, which come with
// every AVX2 processor in practice. Asked once per block, so the answer is
// read inline.
inline bool CpuHasAvx2() {
  const int state = Avx2KernelsState.load(std::memory_order_relaxed);
  return state < 0 ? DetectAvx2KernelsOnce() : state == 1;
}

// For tests: turns the AVX2 kernels off (the portable code runs everywhere)
// or back on where the processor has them.
void UseAvx2Kernels(bool enabled);

}  // namespace dibjpeg
