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

// Outputs that fit in 16 bits, as every transform output does. Packing two
// rows per lane gives TransformPosition's order, the factors' own.
void QuantizeBlockAvx2(std::int16_t coefficients[64], const std::int32_t output[64], const QuantTable* table) {
  for (int i = 0; i < 64; i += 16) {
    const V lo = _mm256_loadu_si256(reinterpret_cast<const V*>(output + i));
    const V hi = _mm256_loadu_si256(reinterpret_cast<const V*>(output + i + 8));
    const V x = _mm256_packs_epi32(lo, hi);
    const V q = _mm256_sign_epi16(QuantizedMagnitude(x, table, i), x);
    _mm256_storeu_si256(reinterpret_cast<V*>(coefficients + i), SwapMiddleQuarters(q));
  }
}

void TransformBlockAvx2(std::int16_t coefficients[64], const std::uint8_t samples[64], const QuantTable* table) {
  V rows[4];
  TransformPaired(rows, samples);
  for (int g = 0; g < 4; ++g) {
    const V q = _mm256_sign_epi16(QuantizedMagnitude(rows[g], table, 16 * g), rows[g]);
    _mm256_storeu_si256(reinterpret_cast<V*>(coefficients + 16 * g), SwapMiddleQuarters(q));
  }
}

void TransformBlockMagnitudesAvx2(BlockMagnitudes* out, const std::uint8_t samples[64], const QuantTable* table) {
  TransformMagnitudes(out, samples, table);
}

}  // namespace dibjpeg
