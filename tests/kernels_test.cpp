// The AVX2 kernels against the portable code they stand in for: every result
// must be identical, so the checks are exhaustive where the input space allows.
#include <gtest/gtest.h>

#include <random>

#include "block/block.h"
#include "block/block_kernels.h"
#include "common/cpu_features.h"
#include "pixels/pixel_kernels.h"
#include "pixels/pixels.h"

namespace dibjpeg {
namespace {

#if defined(DIBJPEG_HAVE_AVX2)

#define REQUIRE_AVX2() \
  if (!CpuHasAvx2()) GTEST_SKIP() << "no AVX2 on this processor"

QuantTable UniformTable(int value) {
  QuantTable t{};
  for (int i = 0; i < 64; ++i) SetQuantValue(&t, i, value);
  return t;
}

// Every divisor against every DCT output from well below -8192 to well above
// 8191, beyond the whole range the transform can produce.
TEST(Avx2Kernels, QuantizerMatchesDivisionExhaustively) {
  REQUIRE_AVX2();
  std::int32_t output[64];
  std::int16_t have[64], want[64];
  for (int v = 1; v <= 255; ++v) {
    const QuantTable table = UniformTable(v);
    for (int base = -15064; base <= 15000; base += 64) {
      for (int i = 0; i < 64; ++i) output[i] = base + i;
      QuantizeBlockScalar(want, output, &table);
      QuantizeBlockAvx2(have, output, &table);
      for (int i = 0; i < 64; ++i) ASSERT_EQ(have[i], want[i]) << "x=" << output[i] << " v=" << v;
    }
  }
}

TEST(Avx2Kernels, DctMatchesScalarOnRandomAndExtremeBlocks) {
  REQUIRE_AVX2();
  std::mt19937 rng(7);
  std::uint8_t block[64];
  std::int32_t have[64], want[64];
  for (int n = 0; n < 20000; ++n) {
    const int kind = n % 4;
    for (int i = 0; i < 64; ++i) {
      const int r = static_cast<int>(rng());
      // random, 0/255 checkerboards of random phase, narrow ranges near the extremes
      block[i] = kind == 0 ? static_cast<std::uint8_t>(r)
                 : kind == 1 ? static_cast<std::uint8_t>((r & 1) ? 255 : 0)
                 : kind == 2 ? static_cast<std::uint8_t>(((i >> 3) + i + n) & 1 ? 255 : 0)
                             : static_cast<std::uint8_t>(r & 1 ? 255 - (r >> 8 & 3) : (r >> 8 & 3));
    }
    ForwardDctScalar(want, block);
    ForwardDctAvx2(have, block);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(have[i], want[i]) << "block " << n << " entry " << i;
    // The fused transform and quantizer, at a fine and a coarse table.
    for (int v : {1, 16}) {
      QuantTable table{};
      for (int i = 0; i < 64; ++i) SetQuantValue(&table, i, v + i);
      std::int16_t fused[64], separate[64];
      TransformBlockAvx2(fused, block, &table);
      QuantizeBlockScalar(separate, want, &table);
      for (int i = 0; i < 64; ++i) ASSERT_EQ(fused[i], separate[i]) << "block " << n << " entry " << i;
    }
  }
}

// All 2^24 colours through the 24-bit kernel, 64 to an 8x8 MCU: the 4:4:4
// blocks are the converted samples themselves.
TEST(Avx2Kernels, ColourConversionMatchesEveryColour) {
  REQUIRE_AVX2();
  std::uint8_t mcu[192];
  std::uint8_t rows[8 * 24];  // row 0 of the MCU last in memory
  for (std::uint32_t first = 0; first < (1u << 24); first += 64) {
    for (int k = 0; k < 64; ++k) {
      const std::uint32_t rgb = first + k;
      std::uint8_t* p = &rows[(7 - k / 8) * 24 + 3 * (k % 8)];
      p[0] = static_cast<std::uint8_t>(rgb >> 16), p[1] = static_cast<std::uint8_t>(rgb >> 8);
      p[2] = static_cast<std::uint8_t>(rgb);
    }
    ConvertMcuRgb24Avx2(rows, sizeof rows, 7 * 24, 24, McuLayout::Sampling444, mcu);
    for (int k = 0; k < 64; ++k) {
      const std::uint32_t rgb = first + k;
      const YCbCr want = ConvertToYCbCr(rgb >> 16, rgb >> 8 & 0xFF, rgb & 0xFF);
      ASSERT_TRUE(mcu[k] == want.y && mcu[64 + k] == want.cb && mcu[128 + k] == want.cr)
          << "rgb " << std::hex << rgb << std::dec << ": have " << int(mcu[k]) << "," << int(mcu[64 + k]) << ","
          << int(mcu[128 + k]) << " want " << int(want.y) << "," << int(want.cb) << "," << int(want.cr);
    }
  }
}

#endif  // DIBJPEG_HAVE_AVX2

}  // namespace
}  // namespace dibjpeg
