// Which optional instruction sets this processor offers. Each subsystem asks
// once per call or block, and the answer, worked out on the first query, is
// kept for the process.
#pragma once

#include <atomic>

namespace dibjpeg {

// The kernel sets, each needing everything the one before needs:
// - Avx2: AVX2 together with BMI1, BMI2 and LZCNT, which come with every AVX2
//   processor in practice;
// - Avx512: also AVX-512 F, BW, CD, DQ and VL (x86-64-v4) and VBMI, whose
//   byte permutes the colour kernels use, with the operating system saving
//   the 512-bit state: Intel from Ice Lake, AMD from Zen 4. Earlier AVX-512
//   processors, which slow their clock for 512-bit work, run the AVX2 set.
enum class KernelSet : int { Portable = 0, Avx2 = 1, Avx512 = 2 };

// The set in use, as an int; -1 until the first query.
extern std::atomic<int> KernelSetState;
KernelSet DetectKernelSetOnce();

// The best set that was built in and that the processor and operating system
// support, or less where a test capped it.
inline KernelSet ActiveKernelSet() {
  const int state = KernelSetState.load(std::memory_order_relaxed);
  return state < 0 ? DetectKernelSetOnce() : static_cast<KernelSet>(state);
}
inline bool CpuHasAvx2() { return ActiveKernelSet() >= KernelSet::Avx2; }
inline bool CpuHasAvx512() { return ActiveKernelSet() >= KernelSet::Avx512; }

// The best set this processor offers, whatever the cap.
KernelSet OfferedKernelSet();

// For tests: uses no set above `most` (KernelSet::Portable: the portable code
// everywhere), and never one the processor lacks.
void CapKernelSet(KernelSet most);

}  // namespace dibjpeg
