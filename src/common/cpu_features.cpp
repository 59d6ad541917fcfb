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

KernelSet DetectKernelSet() {
#if defined(DIBJPEG_HAVE_AVX2)
  unsigned r[4];
  Cpuid(0, r);
  const unsigned maxLeaf = r[0];
  Cpuid(0x80000000, r);
  const unsigned maxExtendedLeaf = r[0];
  if (maxLeaf < 7 || maxExtendedLeaf < 0x80000001) return KernelSet::Portable;
  Cpuid(1, r);
  const bool osxsave = (r[2] >> 27 & 1) != 0, avx = (r[2] >> 28 & 1) != 0;
  if (!osxsave || !avx) return KernelSet::Portable;
  const unsigned long long state = EnabledStateComponents();
  if ((state & 6) != 6) return KernelSet::Portable;  // XMM and YMM state
  Cpuid(7, r);
  const unsigned features = r[1], moreFeatures = r[2];
  const bool avx2 = (features >> 5 & 1) != 0, bmi1 = (features >> 3 & 1) != 0, bmi2 = (features >> 8 & 1) != 0;
  Cpuid(0x80000001, r);
  const bool lzcnt = (r[2] >> 5 & 1) != 0;
  if (!(avx2 && bmi1 && bmi2 && lzcnt)) return KernelSet::Portable;
#if defined(DIBJPEG_HAVE_AVX512)
  // F (bit 16), DQ (17), CD (28), BW (30), VL (31), and VBMI (bit 1 of
  // ECX); opmask, upper ZMM and ZMM16-31 state.
  constexpr unsigned Avx512Bits = 1u << 16 | 1u << 17 | 1u << 28 | 1u << 30 | 1u << 31;
  const bool vbmi = (moreFeatures >> 1 & 1) != 0;
  if ((features & Avx512Bits) == Avx512Bits && vbmi && (state & 0xE0) == 0xE0) return KernelSet::Avx512;
#endif
  return KernelSet::Avx2;
#else
  return KernelSet::Portable;
#endif
}

}  // namespace

// Every call that finds the state unset computes the same answer, so racing
// first calls are harmless.
std::atomic<int> KernelSetState{-1};

KernelSet DetectKernelSetOnce() {
  const KernelSet offered = DetectKernelSet();
  KernelSetState.store(static_cast<int>(offered), std::memory_order_relaxed);
  return offered;
}

KernelSet OfferedKernelSet() { return DetectKernelSet(); }

void CapKernelSet(KernelSet most) {
  const KernelSet offered = DetectKernelSet();
  KernelSetState.store(static_cast<int>(most < offered ? most : offered), std::memory_order_relaxed);
}

}  // namespace dibjpeg
