#include "common/cpu_features.h"

#if defined(DIBJPEG_HAVE_AVX2)
#if defined(_MSC_VER)
#include <immintrin.h>
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace dibjpeg {
namespace {

#if defined(DIBJPEG_HAVE_AVX2)
// CPUID leaf `leaf` (sub-leaf 0): EAX, EBX, ECX, EDX.
void Cpuid(unsigned leaf, unsigned r[4]) {
#if defined(_MSC_VER)
  int info[4];
  __cpuidex(info, static_cast<int>(leaf), 0);
  for (int i = 0; i < 4; ++i) r[i] = static_cast<unsigned>(info[i]);
#else
  __cpuid_count(leaf, 0, r[0], r[1], r[2], r[3]);
#endif
}

// The state components the operating system saves on a context switch.
unsigned long long EnabledStateComponents() {
#if defined(_MSC_VER)
  return _xgetbv(0);
#else
  unsigned lo, hi;
  __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return static_cast<unsigned long long>(hi) << 32 | lo;
#endif
}
#endif

bool DetectAvx2() {
#if defined(DIBJPEG_HAVE_AVX2)
  unsigned r[4];
  Cpuid(0, r);
  const unsigned maxLeaf = r[0];
  Cpuid(0x80000000, r);
  const unsigned maxExtendedLeaf = r[0];
  if (maxLeaf < 7 || maxExtendedLeaf < 0x80000001) return false;
  Cpuid(1, r);
  const bool osxsave = (r[2] >> 27 & 1) != 0, avx = (r[2] >> 28 & 1) != 0;
  if (!osxsave || !avx || (EnabledStateComponents() & 6) != 6) return false;  // XMM and YMM state
  Cpuid(7, r);
  const bool avx2 = (r[1] >> 5 & 1) != 0, bmi1 = (r[1] >> 3 & 1) != 0, bmi2 = (r[1] >> 8 & 1) != 0;
  Cpuid(0x80000001, r);
  const bool lzcnt = (r[2] >> 5 & 1) != 0;
  return avx2 && bmi1 && bmi2 && lzcnt;
#else
  return false;
#endif
}

}  // namespace

// Every call that finds the state unset computes the same answer, so racing
// first calls are harmless.
std::atomic<int> Avx2KernelsState{-1};

bool DetectAvx2KernelsOnce() {
  const bool usable = DetectAvx2();
  Avx2KernelsState.store(usable ? 1 : 0, std::memory_order_relaxed);
  return usable;
}

void UseAvx2Kernels(bool enabled) {
  Avx2KernelsState.store(enabled && DetectAvx2() ? 1 : 0, std::memory_order_relaxed);
}

}  // namespace dibjpeg
