// The library's processor check against the compiler's own. Each kernel set
// must run exactly where the processor offers what it needs: a wrong "no"
// silently drops its kernels (and their tests skip themselves), a wrong
// "yes" ends in an illegal instruction. The suite runs natively and under an
// emulated processor without AVX2 (the no-avx2 tests), so both answers are
// checked.
#include <gtest/gtest.h>

#include "common/cpu_features.h"

namespace dibjpeg {
namespace {

// Asked through the compiler's run-time support, not the library's CPUID code.
KernelSet ProcessorOffers() {
#if defined(DIBJPEG_HAVE_AVX2)
  __builtin_cpu_init();
  if (!(__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
        __builtin_cpu_supports("lzcnt"))) {
    return KernelSet::Portable;
  }
#if defined(DIBJPEG_HAVE_AVX512)
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512cd") && __builtin_cpu_supports("avx512dq") &&
      __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi")) {
    return KernelSet::Avx512;
  }
#endif
  return KernelSet::Avx2;
#else
  return KernelSet::Portable;  // no kernels are built in for this processor family
#endif
}

TEST(CpuFeatures, DetectionMatchesTheProcessor) {
  const KernelSet offered = ProcessorOffers();
  EXPECT_EQ(OfferedKernelSet(), offered);
  EXPECT_EQ(DetectKernelSetOnce(), offered);
  EXPECT_EQ(ActiveKernelSet(), offered);
  EXPECT_EQ(CpuHasAvx2(), offered >= KernelSet::Avx2);
  EXPECT_EQ(CpuHasAvx512(), offered == KernelSet::Avx512);
}

// Tests cap the kernels one set at a time and then lift the cap; no cap may
// ever turn on a set the processor lacks.
TEST(CpuFeatures, CapsHoldAndAreUndone) {
  const KernelSet offered = ProcessorOffers();
  for (KernelSet cap : {KernelSet::Portable, KernelSet::Avx2, KernelSet::Avx512}) {
    CapKernelSet(cap);
    EXPECT_EQ(ActiveKernelSet(), cap < offered ? cap : offered) << static_cast<int>(cap);
  }
  EXPECT_EQ(ActiveKernelSet(), offered);
}

}  // namespace
}  // namespace dibjpeg
