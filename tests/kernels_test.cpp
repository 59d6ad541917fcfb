// The AVX2 kernels against the portable code they stand in for: every result
// must be identical, so the checks are exhaustive where the input space allows.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

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

// Every divisor against every 16-bit input, a superset of what the
// transform can produce (-8192..8160).
TEST(Avx2Kernels, QuantizerMatchesDivisionExhaustively) {
  REQUIRE_AVX2();
  std::int32_t output[64];
  std::int16_t have[64], want[64];
  for (int v = 1; v <= 255; ++v) {
    const QuantTable table = UniformTable(v);
    for (int base = -32768; base < 32768; base += 64) {
      for (int i = 0; i < 64; ++i) output[i] = base + i;
      QuantizeBlockScalar(want, output, &table);
      QuantizeBlockAvx2(have, output, &table);
      ASSERT_EQ(std::memcmp(have, want, sizeof have), 0) << "divisor " << 8 * v << ", inputs from " << base;
    }
  }
}

// Blocks for the transform: random ones, 0/255 checkerboards and noise near
// the extremes, then every basis function's sign pattern at 0/255 and its
// inverse (the largest outputs each frequency can reach).
std::vector<std::array<std::uint8_t, 64>> TestBlocks() {
  std::vector<std::array<std::uint8_t, 64>> blocks;
  std::mt19937 rng(7);
  for (int n = 0; n < 20000; ++n) {
    std::array<std::uint8_t, 64>& block = blocks.emplace_back();
    for (int i = 0; i < 64; ++i) {
      const int r = static_cast<int>(rng());
      switch (n % 4) {
        case 0: block[i] = static_cast<std::uint8_t>(r); break;
        case 1: block[i] = (r & 1) ? 255 : 0; break;
        case 2: block[i] = (((i >> 3) + i + n) & 1) ? 255 : 0; break;
        default: block[i] = static_cast<std::uint8_t>(r & 1 ? 255 - (r >> 8 & 3) : (r >> 8 & 3)); break;
      }
    }
  }
  // cos((2x + 1) f pi / 16) is negative exactly when (2x + 1) f mod 32 lies in 9..23.
  const auto negative = [](int x, int f) { return ((2 * x + 1) * f) % 32 > 8 && ((2 * x + 1) * f) % 32 < 24; };
  for (int f = 0; f < 64; ++f) {
    for (int inverse = 0; inverse < 2; ++inverse) {
      std::array<std::uint8_t, 64>& block = blocks.emplace_back();
      for (int i = 0; i < 64; ++i) {
        const bool low = negative(i >> 3, f >> 3) != negative(i & 7, f & 7);
        block[i] = low != (inverse != 0) ? 0 : 255;
      }
    }
  }
  return blocks;
}

TEST(Avx2Kernels, TransformMatchesScalarOnRandomAndExtremeBlocks) {
  REQUIRE_AVX2();
  const auto blocks = TestBlocks();
  for (std::size_t n = 0; n < blocks.size(); ++n) {
    const std::uint8_t* block = blocks[n].data();
    std::int32_t have[64], want[64];
    ForwardDctScalar(want, block);
    ForwardDctAvx2(have, block);
    ASSERT_EQ(std::memcmp(have, want, sizeof have), 0) << "block " << n;
    // The fused transform and quantizer and the coder's hand-off, at a fine
    // table and a coarse one.
    for (int v : {1, 16}) {
      QuantTable table{};
      for (int i = 0; i < 64; ++i) SetQuantValue(&table, i, v + i);
      std::int16_t fused[64], separate[64];
      TransformBlockAvx2(fused, block, &table);
      QuantizeBlockScalar(separate, want, &table);
      ASSERT_EQ(std::memcmp(fused, separate, sizeof fused), 0) << "block " << n << " table " << v;
      BlockMagnitudes m;
      TransformBlockMagnitudesAvx2(&m, block, &table);
      std::uint64_t nonzero = 0;
      for (int i = 0; i < 64; ++i) {
        const int c = separate[i];
        nonzero |= std::uint64_t{c != 0} << i;
        ASSERT_EQ(m.magnitude[i], std::abs(c)) << "block " << n << " entry " << i;
        // Extra bits are only read for non-zero values.
        if (c != 0) ASSERT_EQ(m.bits[i], static_cast<std::uint16_t>(c < 0 ? c - 1 : c)) << "block " << n << " entry " << i;
      }
      ASSERT_EQ(m.nonzero, nonzero) << "block " << n;
      ASSERT_EQ(m.dc, separate[0]) << "block " << n;
    }
  }
}

// All 2^24 colours through the 24-bit kernels, 16 to a row.
TEST(Avx2Kernels, ColourConversionMatchesEveryColour) {
  REQUIRE_AVX2();
  std::uint8_t row[48], y[16], cb[16], cr[16];
  for (int r = 0; r < 256; ++r) {
    for (int g = 0; g < 256; ++g) {
      for (int b0 = 0; b0 < 256; b0 += 16) {
        for (int k = 0; k < 16; ++k) {
          row[3 * k] = static_cast<std::uint8_t>(r);
          row[3 * k + 1] = static_cast<std::uint8_t>(g);
          row[3 * k + 2] = static_cast<std::uint8_t>(b0 + k);
        }
        ConvertRowsRgb24Avx2(row, sizeof row, 0, 0, 1, 16, y, cb, cr);
        for (int k = 0; k < 16; ++k) {
          const YCbCr want = ConvertToYCbCr(r, g, b0 + k);
          ASSERT_TRUE(y[k] == want.y && cb[k] == want.cb && cr[k] == want.cr)
              << "rgb " << r << "," << g << "," << b0 + k << ": have " << int(y[k]) << "," << int(cb[k]) << ","
              << int(cr[k]) << " want " << int(want.y) << "," << int(want.cb) << "," << int(want.cr);
        }
      }
    }
  }
}

// Channel placement of every kernel, on rows of 16 and 8 pixels, several rows
// walking down through memory.
TEST(Avx2Kernels, EveryPixelFormatPlacesItsChannels) {
  REQUIRE_AVX2();
  struct Case {
    ConvertRowsFn kernel;
    int bytes;
    bool blueFirst;
  };
  const Case cases[] = {{ConvertRowsRgb16Avx2, 2, false}, {ConvertRowsBgr16Avx2, 2, true},
                        {ConvertRowsRgb24Avx2, 3, false}, {ConvertRowsBgr24Avx2, 3, true},
                        {ConvertRowsRgb32Avx2, 4, false}, {ConvertRowsBgr32Avx2, 4, true}};
  std::mt19937 rng(3);
  for (const Case& c : cases) {
    for (int count : {8, 16}) {
      // The source starts with the lowest row's first pixel and ends with the
      // top row's last, so a read outside it shows under AddressSanitizer.
      const std::uint32_t stride = 64 * 4;
      const std::size_t top = 3 * stride;
      std::vector<std::uint8_t> memory(top + count * c.bytes);
      for (auto& m : memory) m = static_cast<std::uint8_t>(rng());
      std::uint8_t y[64], cb[64], cr[64];
      c.kernel(memory.data(), memory.size(), top, stride, 4, count, y, cb, cr);
      for (int row = 0; row < 4; ++row) {
        for (int k = 0; k < count; ++k) {
          const std::uint8_t* p = &memory[top - row * stride + k * c.bytes];
          int f0, f1, f2;
          if (c.bytes == 2) {
            const int v = p[0] | p[1] << 8;
            f0 = (v & 31) << 3, f1 = (v >> 5 & 31) << 3, f2 = (v >> 10 & 31) << 3;
          } else {
            f0 = p[0], f1 = p[1], f2 = p[2];
          }
          const YCbCr want = c.blueFirst ? ConvertToYCbCr(f2, f1, f0) : ConvertToYCbCr(f0, f1, f2);
          const int at = row * count + k;
          ASSERT_TRUE(y[at] == want.y && cb[at] == want.cb && cr[at] == want.cr)
              << "bytes " << c.bytes << " blueFirst " << c.blueFirst << " count " << count << " at " << at;
        }
      }
    }
  }
}

TEST(Avx2Kernels, ChromaMeansTruncate) {
  REQUIRE_AVX2();
  std::mt19937 rng(5);
  std::uint8_t plane[256], have[64];
  for (int n = 0; n < 200; ++n) {
    for (auto& p : plane) p = static_cast<std::uint8_t>(n % 2 ? rng() : (rng() & 1 ? 255 : 254));
    Average2x2Avx2(have, plane);
    for (int r = 0; r < 8; ++r) {
      for (int c = 0; c < 8; ++c) {
        const int sum = plane[32 * r + 2 * c] + plane[32 * r + 2 * c + 1] + plane[32 * r + 16 + 2 * c] +
                        plane[32 * r + 16 + 2 * c + 1];
        ASSERT_EQ(have[8 * r + c], sum >> 2);
      }
    }
    Average2x1Avx2(have, plane);
    for (int r = 0; r < 8; ++r) {
      for (int c = 0; c < 8; ++c) ASSERT_EQ(have[8 * r + c], (plane[16 * r + 2 * c] + plane[16 * r + 2 * c + 1]) >> 1);
    }
  }
}

#endif  // DIBJPEG_HAVE_AVX2

}  // namespace
}  // namespace dibjpeg
