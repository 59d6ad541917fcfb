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
#include "jpeg/jpeg.h"
#include "pixels/pixel_kernels.h"
#include "pixels/pixels.h"
#include "stream/stream.h"

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

// Blocks for the transform: every flat block, random ones, 0/255
// checkerboards and noise near the extremes, then every basis function's
// sign pattern at 0/255 and its inverse (the largest outputs each frequency
// can reach).
std::vector<std::array<std::uint8_t, 64>> TestBlocks() {
  std::vector<std::array<std::uint8_t, 64>> blocks;
  for (int v = 0; v < 256; ++v) blocks.emplace_back().fill(static_cast<std::uint8_t>(v));
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
        const int c = separate[i], at = TransformPosition(i);
        ASSERT_EQ(m.magnitude[at], std::abs(c)) << "block " << n << " entry " << i;
        // Extra bits are only read for non-zero values.
        if (c != 0) ASSERT_EQ(m.bits[at], static_cast<std::uint16_t>(c < 0 ? c - 1 : c)) << "block " << n << " entry " << i;
      }
      for (int k = 0; k < 64; ++k) nonzero |= std::uint64_t{separate[ZigzagOrder[k]] != 0} << k;
      ASSERT_EQ(m.nonzero, nonzero) << "block " << n;
      ASSERT_EQ(m.dc, separate[0]) << "block " << n;
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

// Every MCU coder this processor offers against the portable one, MCU by MCU
// through the scan's writer, in encode and measure mode: the test blocks as
// gray MCUs and as 4:4:4 ones (luminance and chrominance tables in turn), at
// a fine table (dense blocks, large categories) and a coarse one (long runs
// of zeros, ZRL codes, blocks ending in a non-zero coefficient or not).
TEST(Avx2Kernels, EveryMcuCoderWritesThePortableBytes) {
  REQUIRE_AVX2();
  const HuffTable* tables = StandardHuffTables;
  const auto blocks = TestBlocks();
  // Flat blocks also between others, so that pairs of blocks mix the two.
  std::vector<std::uint8_t> samples;
  for (std::size_t n = 0; n < blocks.size(); ++n) {
    samples.insert(samples.end(), blocks[n].begin(), blocks[n].end());
    if (n % 3 == 0) samples.insert(samples.end(), blocks[n % 256].begin(), blocks[n % 256].end());
  }
  const std::uint32_t count = static_cast<std::uint32_t>(samples.size() / 64);
  const auto code = [&](KernelSet set, bool emit, int components, int fine) {
    CapKernelSet(set);
    QuantTable table{};
    for (int i = 0; i < 64; ++i) SetQuantValue(&table, i, fine ? 1 + i % 3 : 20 + i);
    std::vector<std::uint8_t> buffer(count * 600u + 64);
    ByteStream sink;
    if (emit) InitMemoryStream(&sink, static_cast<std::uint32_t>(buffer.size()), buffer.data());
    else InitCountingStream(&sink);
    EncoderState state{};
    state.mode = emit ? JobModeEmit : JobModeCount;
    state.sink = &sink;
    state.componentCount = components;
    for (int k = 0; k < components; ++k) {
      state.components[k] = ComponentSpec{};
      state.components[k].hSamp = state.components[k].vSamp = 1;
      state.components[k].quantTable = &table;
      state.components[k].dcTable = &tables[k == 0 ? 0 : 2];
      state.components[k].acTable = &tables[k == 0 ? 1 : 3];
    }
    BlockWriter writer;
    OpenBlockWriter(&writer, &sink);
    const std::uint32_t perMcu = static_cast<std::uint32_t>(components);
    for (std::uint32_t m = 0; m + perMcu <= count; m += 5 * perMcu) {
      const std::uint32_t mcus = std::min<std::uint32_t>(5, (count - m) / perMcu);
      EXPECT_EQ(EncodeMcus(&state, &writer, samples.data() + 64 * m, mcus), 1);
    }
    CloseBlockWriter(&writer, &sink, emit);
    buffer.resize(emit ? sink.pos : 0);
    buffer.push_back(static_cast<std::uint8_t>(sink.bitAcc));
    buffer.push_back(static_cast<std::uint8_t>(sink.bitCount));
    for (std::uint32_t v : {sink.pos, sink.size}) buffer.insert(buffer.end(), {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16)});
    return buffer;
  };
  for (bool emit : {true, false}) {
    for (int components : {1, 3}) {
      for (int fine : {0, 1}) {
        const auto want = code(KernelSet::Portable, emit, components, fine);
        for (KernelSet set : {KernelSet::Avx2, KernelSet::Avx512}) {
          if (set > OfferedKernelSet()) continue;
          EXPECT_TRUE(code(set, emit, components, fine) == want)
              << "kernel set " << static_cast<int>(set) << (emit ? " encode" : " measure") << ", " << components
              << " components, " << (fine ? "fine" : "coarse") << " table";
        }
      }
    }
  }
  CapKernelSet(KernelSet::Avx512);
}

#endif  // DIBJPEG_HAVE_AVX2

}  // namespace
}  // namespace dibjpeg
