// AVX2 forward DCT and quantizer kernels; the transform itself is in
// forward_dct_avx2.h.
#include "block/forward_dct_avx2.h"

#include "block/block_kernels.h"

namespace dibjpeg {

void ForwardDctAvx2(std::int32_t output[64], const std::uint8_t samples[64]) {
  V rows[4];
  Transform(rows, samples);
  for (int g = 0; g < 4; ++g) {
    _mm256_storeu_si256(reinterpret_cast<V*>(output + 16 * g), _mm256_cvtepi16_epi32(_mm256_castsi256_si128(rows[g])));
    _mm256_storeu_si256(reinterpret_cast<V*>(output + 16 * g + 8), _mm256_cvtepi16_epi32(_mm256_extracti128_si256(rows[g], 1)));
  }
}

// Quantizes outputs in TransformPosition's order and stores them in
// natural order.
static void StoreQuantized(std::int16_t coefficients[64], const V x[4], const QuantTable* table) {
  V q[4], rows[4];
  for (int g = 0; g < 4; ++g) q[g] = _mm256_sign_epi16(QuantizedMagnitude(x[g], table, 16 * g), x[g]);
  NaturalOrder(rows, q);
  for (int g = 0; g < 4; ++g) _mm256_storeu_si256(reinterpret_cast<V*>(coefficients + 16 * g), rows[g]);
}

// Outputs that fit in 16 bits, as every transform output does.
void QuantizeBlockAvx2(std::int16_t coefficients[64], const std::int32_t output[64], const QuantTable* table) {
  V rowPairs[4], x[4];
  for (int g = 0; g < 4; ++g) {
    const V lo = _mm256_loadu_si256(reinterpret_cast<const V*>(output + 16 * g));
    const V hi = _mm256_loadu_si256(reinterpret_cast<const V*>(output + 16 * g + 8));
    rowPairs[g] = _mm256_packs_epi32(lo, hi);
  }
  TransformOrder(x, rowPairs);
  StoreQuantized(coefficients, x, table);
}

void TransformBlockAvx2(std::int16_t coefficients[64], const std::uint8_t samples[64], const QuantTable* table) {
  V x[4];
  TransformPaired(x, samples);
  StoreQuantized(coefficients, x, table);
}

void TransformBlockMagnitudesAvx2(BlockMagnitudes* out, const std::uint8_t samples[64], const QuantTable* table) {
  TransformMagnitudes(out, samples, table);
}

}  // namespace dibjpeg
