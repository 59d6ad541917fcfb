#include "setup/cpu_features.h"

#include <atomic>

#if defined(DIBJPEG_HAVE_AVX2) && defined(_MSC_VER)
#include <immintrin.h>
#include <intrin.h>
#endif

namespace dibjpeg {

namespace {

bool DetectAvx2() {
#if !defined(DIBJPEG_HAVE_AVX2)
  return false;
#elif defined(_MSC_VER)
  int info[4];
  __cpuid(info, 0);
  if (info[0] < 7) return false;
  __cpuid(info, 1);
  const bool osxsave = (info[2] & (1 << 27)) != 0, avx = (info[2] & (1 << 28)) != 0;
  if (!osxsave || !avx || (_xgetbv(0) & 6) != 6) return false;  // the OS saves YMM state
  __cpuidex(info, 7, 0);
  const bool avx2 = (info[1] & (1 << 5)) != 0, bmi2 = (info[1] & (1 << 8)) != 0;
  __cpuid(info, 0x80000001);
  const bool lzcnt = (info[2] & (1 << 5)) != 0;
  return avx2 && bmi2 && lzcnt;
#else
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("lzcnt");
#endif
}

// -1 until the first call; every call that finds it unset computes the same
// answer, so racing first calls are harmless.
std::atomic<int> avx2State{-1};

}  // namespace

bool CpuHasAvx2() {
  int state = avx2State.load(std::memory_order_relaxed);
  if (state < 0) {
    state = DetectAvx2() ? 1 : 0;
    avx2State.store(state, std::memory_order_relaxed);
  }
  return state == 1;
}

void UseAvx2Kernels(bool enabled) { avx2State.store(enabled && DetectAvx2() ? 1 : 0, std::memory_order_relaxed); }

}  // namespace dibjpeg
