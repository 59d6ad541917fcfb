// Forward DCT and quantization of one 8x8 block, in integer arithmetic only.
// Pure functions: no state, no allocation.
#include "block/block.h"
#include "block/block_kernels.h"
#include "common/cpu_features.h"

namespace dibjpeg {
namespace {

// The LL&M constants with 13 fractional bits: round(factor x 8192).
constexpr std::int32_t Fix0_298631336 = 2446;
constexpr std::int32_t Fix0_390180644 = 3196;
constexpr std::int32_t Fix0_541196100 = 4433;
constexpr std::int32_t Fix0_765366865 = 6270;
constexpr std::int32_t Fix0_899976223 = 7373;
constexpr std::int32_t Fix1_175875602 = 9633;
constexpr std::int32_t Fix1_501321110 = 12299;
constexpr std::int32_t Fix1_847759065 = 15137;
constexpr std::int32_t Fix1_961570560 = 16069;
constexpr std::int32_t Fix2_053119869 = 16819;
constexpr std::int32_t Fix2_562915447 = 20995;
constexpr std::int32_t Fix3_072711026 = 25172;

// One 8-point Loeffler-Ligtenberg-Moschytz butterfly: 12 multiplications.
// o[0] and o[4] come out unscaled; the others carry 13 fractional bits.
void Butterfly(const std::int32_t y[8], std::int32_t o[8]) {
  const std::int32_t t0 = y[0] + y[7], t7 = y[0] - y[7];
  const std::int32_t t1 = y[1] + y[6], t6 = y[1] - y[6];
  const std::int32_t t2 = y[2] + y[5], t5 = y[2] - y[5];
  const std::int32_t t3 = y[3] + y[4], t4 = y[3] - y[4];

  const std::int32_t t10 = t0 + t3, t13 = t0 - t3;
  const std::int32_t t11 = t1 + t2, t12 = t1 - t2;
  const std::int32_t e = (t12 + t13) * Fix0_541196100;
  o[0] = t10 + t11;
  o[4] = t10 - t11;
  o[2] = e + t13 * Fix0_765366865;
  o[6] = e - t12 * Fix1_847759065;

  std::int32_t z1 = t4 + t7, z2 = t5 + t6, z3 = t4 + t6, z4 = t5 + t7;
  const std::int32_t z5 = (z3 + z4) * Fix1_175875602;
  z1 *= -Fix0_899976223;
  z2 *= -Fix2_562915447;
  z3 = z3 * -Fix1_961570560 + z5;
  z4 = z4 * -Fix0_390180644 + z5;
  o[7] = t4 * Fix0_298631336 + z1 + z3;
  o[5] = t5 * Fix2_053119869 + z2 + z4;
  o[3] = t6 * Fix3_072711026 + z2 + z3;
  o[1] = t7 * Fix1_501321110 + z1 + z4;
}

}  // namespace

// Rows first, keeping 2 extra fractional bits in the workspace; then columns,
// removing them. Each output is 8 x the DCT of the level-shifted samples.
void ForwardDctScalar(std::int32_t output[64], const std::uint8_t samples[64]) {
  std::int32_t workspace[64];
  std::int32_t y[8], o[8];
  for (int r = 0; r < 8; ++r) {
    for (int i = 0; i < 8; ++i) y[i] = samples[8 * r + i] - 128;
    Butterfly(y, o);
    std::int32_t* w = workspace + 8 * r;
    w[0] = o[0] * 4;
    w[4] = o[4] * 4;
    for (int k = 1; k < 8; ++k) {
      if (k != 4) w[k] = (o[k] + 1024) >> 11;
    }
  }
  for (int j = 0; j < 8; ++j) {
    for (int i = 0; i < 8; ++i) y[i] = workspace[8 * i + j];
    Butterfly(y, o);
    output[j] = (o[0] + 2) >> 2;
    output[32 + j] = (o[4] + 2) >> 2;
    for (int k = 1; k < 8; ++k) {
      if (k != 4) output[8 * k + j] = (o[k] + 16384) >> 15;
    }
  }
}

// Rounds x / d half away from zero; entries that round to zero need no division.
void QuantizeBlockScalar(std::int16_t coefficients[64], const std::int32_t output[64], const QuantTable* table) {
  for (int i = 0; i < 64; ++i) {
    const std::int32_t x = output[i];
    const std::int32_t d = table->divisor[i];
    const std::int32_t h = d >> 1;
    std::int32_t q = 0;
    if (x >= 0) {
      const std::int32_t n = x + h;
      if (n >= d) q = n / d;
    } else {
      const std::int32_t n = h - x;
      if (n >= d) q = -(n / d);
    }
    coefficients[i] = static_cast<std::int16_t>(q);
  }
}

void ForwardDct(std::int32_t output[64], const std::uint8_t samples[64]) {
#if defined(DIBJPEG_HAVE_AVX2)
  if (CpuHasAvx2()) return ForwardDctAvx2(output, samples);
#endif
  ForwardDctScalar(output, samples);
}

void QuantizeBlock(std::int16_t coefficients[64], const std::int32_t output[64], const QuantTable* table) {
#if defined(DIBJPEG_HAVE_AVX2)
  if (CpuHasAvx2()) return QuantizeBlockAvx2(coefficients, output, table);
#endif
  QuantizeBlockScalar(coefficients, output, table);
}

void TransformBlock(std::int16_t coefficients[64], const std::uint8_t samples[64], const QuantTable* table) {
#if defined(DIBJPEG_HAVE_AVX2)
  if (CpuHasAvx2()) return TransformBlockAvx2(coefficients, samples, table);  // outputs stay in registers
#endif
  std::int32_t output[64];
  ForwardDctScalar(output, samples);
  QuantizeBlockScalar(coefficients, output, table);
}

}  // namespace dibjpeg
