// The library's processor check against the compiler's own. The AVX2
// kernels must run exactly where the processor offers AVX2, BMI1, BMI2 and LZCNT:
// a wrong "no" silently drops every kernel (and the kernel tests skip
// themselves), a wrong "yes" ends in an illegal instruction. The suite runs
// natively and under an emulated processor without AVX2 (the no-avx2 tests),
// so both answers are checked.
#include <gtest/gtest.h>

#include "common/cpu_features.h"

namespace dibjpeg {
namespace {

// Asked through the compiler's run-time support, not the library's CPUID code.
bool ProcessorOffersAvx2Kernels() {
#if defined(DIBJPEG_HAVE_AVX2)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
         __builtin_cpu_supports("lzcnt");
#else
  return false;  // no kernels are built in for this processor family
#endif
}

TEST(CpuFeatures, DetectionMatchesTheProcessor) {
  const bool offered = ProcessorOffersAvx2Kernels();
  EXPECT_EQ(DetectAvx2KernelsOnce(), offered);
  EXPECT_EQ(CpuHasAvx2(), offered);
}

// Tests force the portable code and then ask for the kernels back; asking
// must never turn them on where the processor lacks them.
TEST(CpuFeatures, ForcingThePortableCodeIsUndone) {
  const bool offered = ProcessorOffersAvx2Kernels();
  UseAvx2Kernels(false);
  EXPECT_FALSE(CpuHasAvx2());
  UseAvx2Kernels(true);
  EXPECT_EQ(CpuHasAvx2(), offered);
}

}  // namespace
}  // namespace dibjpeg
