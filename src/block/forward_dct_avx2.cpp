// AVX2 forward DCT and quantizer, eight rows or columns at a time in 32-bit
// lanes. Same constants, shifts and rounding terms as the scalar code, so the
// results are identical.
#include <immintrin.h>

#include <initializer_list>

#include "block/block_kernels.h"
#include "common/platform.h"

namespace dibjpeg {
namespace {

using V = __m256i;


DIBJPEG_ALWAYS_INLINE void Transpose(V r[8]) {
  const V t0 = _mm256_unpacklo_epi32(r[0], r[1]), t1 = _mm256_unpackhi_epi32(r[0], r[1]);
  const V t2 = _mm256_unpacklo_epi32(r[2], r[3]), t3 = _mm256_unpackhi_epi32(r[2], r[3]);
  const V t4 = _mm256_unpacklo_epi32(r[4], r[5]), t5 = _mm256_unpackhi_epi32(r[4], r[5]);
  const V t6 = _mm256_unpacklo_epi32(r[6], r[7]), t7 = _mm256_unpackhi_epi32(r[6], r[7]);
  const V u0 = _mm256_unpacklo_epi64(t0, t2), u1 = _mm256_unpackhi_epi64(t0, t2);
  const V u2 = _mm256_unpacklo_epi64(t1, t3), u3 = _mm256_unpackhi_epi64(t1, t3);
  const V u4 = _mm256_unpacklo_epi64(t4, t6), u5 = _mm256_unpackhi_epi64(t4, t6);
  const V u6 = _mm256_unpacklo_epi64(t5, t7), u7 = _mm256_unpackhi_epi64(t5, t7);
  r[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
  r[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
  r[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
  r[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
  r[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
  r[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
  r[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
  r[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

// Two 32-bit lanes' worth of 16-bit values, a in the low half and b in the
// high half of each lane, for _mm256_madd_epi16: a x ca + b x cb in one step.
DIBJPEG_ALWAYS_INLINE V Pair(V a, V b) { return _mm256_blend_epi16(a, _mm256_slli_epi32(b, 16), 0xAA); }
DIBJPEG_ALWAYS_INLINE V Weights(std::int32_t ca, std::int32_t cb) {
  return _mm256_set1_epi32(static_cast<std::int32_t>(static_cast<std::uint32_t>(cb) << 16 | (ca & 0xFFFF)));
}
DIBJPEG_ALWAYS_INLINE V Madd(V pair, std::int32_t ca, std::int32_t cb) { return _mm256_madd_epi16(pair, Weights(ca, cb)); }

// The 8-point butterfly on eight vectors; o[0] and o[4] unscaled, the others
// with 13 fractional bits. The products of the scalar butterfly are regrouped
// by input: e.g. o7 = t4 x 2446 + z1 + z3 collects to t4 x -11363 + t5 x 9633
// + t6 x -6436 + t7 x 2260. The sums are the same integers; every input fits
// in 16 bits for 8-bit samples (at most 16320 in magnitude in the second
// pass), so pairs of them go through one 16-bit multiply-add.
DIBJPEG_ALWAYS_INLINE void Butterfly(const V y[8], V o[8]) {
  const V t0 = _mm256_add_epi32(y[0], y[7]), t7 = _mm256_sub_epi32(y[0], y[7]);
  const V t1 = _mm256_add_epi32(y[1], y[6]), t6 = _mm256_sub_epi32(y[1], y[6]);
  const V t2 = _mm256_add_epi32(y[2], y[5]), t5 = _mm256_sub_epi32(y[2], y[5]);
  const V t3 = _mm256_add_epi32(y[3], y[4]), t4 = _mm256_sub_epi32(y[3], y[4]);

  const V t10 = _mm256_add_epi32(t0, t3), t13 = _mm256_sub_epi32(t0, t3);
  const V t11 = _mm256_add_epi32(t1, t2), t12 = _mm256_sub_epi32(t1, t2);
  o[0] = _mm256_add_epi32(t10, t11);
  o[4] = _mm256_sub_epi32(t10, t11);
  const V p1213 = Pair(t12, t13);
  o[2] = Madd(p1213, 4433, 4433 + 6270);
  o[6] = Madd(p1213, 4433 - 15137, 4433);

  const V p45 = Pair(t4, t5), p67 = Pair(t6, t7);
  o[7] = _mm256_add_epi32(Madd(p45, -11363, 9633), Madd(p67, -6436, 2260));
  o[5] = _mm256_add_epi32(Madd(p45, 9633, 2261), Madd(p67, -11362, 6437));
  o[3] = _mm256_add_epi32(Madd(p45, -6436, -11362), Madd(p67, -2259, 9633));
  o[1] = _mm256_add_epi32(Madd(p45, 2260, 6437), Madd(p67, 9633, 11363));
}

DIBJPEG_ALWAYS_INLINE V Descale(V x, int bits) {
  return _mm256_srai_epi32(_mm256_add_epi32(x, _mm256_set1_epi32(1 << (bits - 1))), bits);
}

// The whole transform; v[k] receives output row k.
DIBJPEG_ALWAYS_INLINE void Transform(V v[8], const std::uint8_t samples[64]) {
  V o[8];
  for (int r = 0; r < 8; ++r) {
    const __m128i row = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(samples + 8 * r));
    v[r] = _mm256_cvtepu8_epi32(row);
  }
  Transpose(v);  // v[i]: sample i of every row
  // The level shift of 128 cancels in every difference the butterfly forms;
  // only the row sum o[0] keeps it, 8 x 128 in all, so it is taken there.
  Butterfly(v, o);
  o[0] = _mm256_slli_epi32(_mm256_sub_epi32(o[0], _mm256_set1_epi32(8 * 128)), 2);
  o[4] = _mm256_slli_epi32(o[4], 2);
  for (int k : {1, 2, 3, 5, 6, 7}) o[k] = Descale(o[k], 11);
  Transpose(o);  // o[i]: row i of the workspace
  Butterfly(o, v);
  v[0] = Descale(v[0], 2);
  v[4] = Descale(v[4], 2);
  for (int k : {1, 2, 3, 5, 6, 7}) v[k] = Descale(v[k], 15);
}

}  // namespace

void ForwardDctAvx2(std::int32_t output[64], const std::uint8_t samples[64]) {
  V rows[8];
  Transform(rows, samples);
  for (int k = 0; k < 8; ++k) _mm256_storeu_si256(reinterpret_cast<V*>(output + 8 * k), rows[k]);
}

namespace {

// Sixteen coefficients at a time in 16-bit lanes: |x| + d/2 divided by
// d = 8v is floor(floor((|x| + d/2) / 8) / v), and the division by v is two
// high multiplies (see QuantTable). Exact for |x| up to 15000; the transform
// never exceeds 8192.
DIBJPEG_ALWAYS_INLINE void Quantize16(std::int16_t* coefficients, V lo, V hi, const QuantTable* table, int i) {
  const V x = _mm256_permute4x64_epi64(_mm256_packs_epi32(lo, hi), 0xD8);
  const V d = _mm256_loadu_si256(reinterpret_cast<const V*>(table->divisor + i));
  const V n = _mm256_add_epi16(_mm256_abs_epi16(x), _mm256_srli_epi16(d, 1));
  const V eighth = _mm256_and_si256(_mm256_slli_epi16(n, 2), _mm256_set1_epi16(static_cast<short>(0xFFE0)));  // n / 8 x 32
  const V m = _mm256_loadu_si256(reinterpret_cast<const V*>(table->multiplier + i));
  const V post = _mm256_loadu_si256(reinterpret_cast<const V*>(table->postShift + i));
  const V magnitude = _mm256_mulhi_epu16(_mm256_mulhi_epu16(eighth, m), post);
  _mm256_storeu_si256(reinterpret_cast<V*>(coefficients + i), _mm256_sign_epi16(magnitude, x));
}

}  // namespace

void QuantizeBlockAvx2(std::int16_t coefficients[64], const std::int32_t output[64], const QuantTable* table) {
  for (int i = 0; i < 64; i += 16) {
    const V lo = _mm256_loadu_si256(reinterpret_cast<const V*>(output + i));
    const V hi = _mm256_loadu_si256(reinterpret_cast<const V*>(output + i + 8));
    Quantize16(coefficients, lo, hi, table, i);
  }
}

void TransformBlockAvx2(std::int16_t coefficients[64], const std::uint8_t samples[64], const QuantTable* table) {
  V rows[8];
  Transform(rows, samples);
  for (int k = 0; k < 8; k += 2) Quantize16(coefficients, rows[k], rows[k + 1], table, 8 * k);
}

namespace {

// Quantizes sixteen coefficients like Quantize16 and stores their magnitudes
// and extra bits; returns the magnitudes.
DIBJPEG_ALWAYS_INLINE V Magnitudes16(BlockMagnitudes* out, V lo, V hi, const QuantTable* table, int i) {
  const V x = _mm256_permute4x64_epi64(_mm256_packs_epi32(lo, hi), 0xD8);
  const V d = _mm256_loadu_si256(reinterpret_cast<const V*>(table->divisor + i));
  const V n = _mm256_add_epi16(_mm256_abs_epi16(x), _mm256_srli_epi16(d, 1));
  const V eighth = _mm256_and_si256(_mm256_slli_epi16(n, 2), _mm256_set1_epi16(static_cast<short>(0xFFE0)));
  const V m = _mm256_loadu_si256(reinterpret_cast<const V*>(table->multiplier + i));
  const V post = _mm256_loadu_si256(reinterpret_cast<const V*>(table->postShift + i));
  const V magnitude = _mm256_mulhi_epu16(_mm256_mulhi_epu16(eighth, m), post);
  // Negative values send the one's complement of their magnitude.
  _mm256_store_si256(reinterpret_cast<V*>(out->bits + i), _mm256_xor_si256(magnitude, _mm256_srai_epi16(x, 15)));
  _mm256_store_si256(reinterpret_cast<V*>(out->magnitude + i), magnitude);
  return magnitude;
}

// Bit i set when magnitude i of the 32 in a and b is not zero.
DIBJPEG_ALWAYS_INLINE std::uint64_t NonzeroBits(V a, V b) {
  const V zero = _mm256_setzero_si256();
  const V isZero = _mm256_permute4x64_epi64(_mm256_packs_epi16(_mm256_cmpeq_epi16(a, zero), _mm256_cmpeq_epi16(b, zero)), 0xD8);
  return ~static_cast<std::uint32_t>(_mm256_movemask_epi8(isZero));
}

}  // namespace

void TransformBlockMagnitudesAvx2(BlockMagnitudes* out, const std::uint8_t samples[64], const QuantTable* table) {
  V rows[8];
  Transform(rows, samples);
  const V m0 = Magnitudes16(out, rows[0], rows[1], table, 0);
  const V m1 = Magnitudes16(out, rows[2], rows[3], table, 16);
  const V m2 = Magnitudes16(out, rows[4], rows[5], table, 32);
  const V m3 = Magnitudes16(out, rows[6], rows[7], table, 48);
  out->nonzero = NonzeroBits(m0, m1) | NonzeroBits(m2, m3) << 32;
  // The extra bits of a negative DC are -|v| - 1, so v is bits + 1 there.
  out->dc = static_cast<std::int16_t>(out->bits[0] + (out->bits[0] != out->magnitude[0]));
}

}  // namespace dibjpeg
