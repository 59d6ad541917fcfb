// The AVX2 forward DCT and quantizer as inline code, for the files compiled
// with AVX2: the kernels in forward_dct_avx2.cpp, and the MCU coder, which
// inlines the transform into its block loop (no call, no spilled registers,
// and its constants stay in registers from one block to the next). Same
// constants, shifts and rounding terms as the scalar code, so the results
// are identical. Internal linkage, as in huffman_coder.h.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "block/block_kernels.h"
#include "common/platform.h"
#include "common/tables.h"

namespace dibjpeg {
namespace {

using V = __m256i;

// Layout. Both passes work on "paired" registers P(a, b): each 128-bit lane
// holds four values of line a in its low 64 bits and the same four positions
// of line b in its high 64 bits. In the row pass the lanes are rows 0, 2, 4, 6
// and rows 1, 3, 5, 7 and a, b are columns; in the column pass the lanes are
// columns 0-3 and 4-7 and a, b are rows. Butterfly steps are then plain
// 16-bit adds between registers, Swap exchanges a and b, and
// _mm256_unpacklo_epi16(P(a, b), P(b, a)) pairs a and b value by value for
// _mm256_madd_epi16, which forms a x ca + b x cb in 32 bits.
//
// Why it is exact. The scalar butterfly is linear with integer constants, so
// regrouping its products by input (e.g. o7 = t4 x -11363 + t5 x 9633 +
// t6 x -6436 + t7 x 2260) gives the same integers; every shift and rounding
// term stays where the scalar code applies it, on 32-bit sums. What 16 bits
// must hold, for 8-bit samples:
// - Row pass: samples 0..255, the level shift taken only where it does not
//   cancel (o0, as 512 off t10 and off t11): t0..t3 0..510, t4..t7 and
//   t12, t13 within +-510, t10, t11 0..1020. Results: 4 x o0 in
//   -4096..4064, 4 x o4 within +-4080, the others (o + 1024) >> 11 within
//   +-3769 (the extremes of each linear form over 0/255 samples).
// - Column pass inputs are those results, so t0..t7 lie within +-8192 and
//   t10..t13 within +-16384; o0 = t10 + t11 of the column of DC terms
//   reaches exactly -32768 (black) and 32512 (white), and o4 lies within
//   +-32640 (column 4). Every madd sum stays below 2^28, and the outputs
//   after the final shifts lie within -8192..8160, so packing them back to
//   16 bits never saturates.
DIBJPEG_ALWAYS_INLINE V Swap(V x) { return _mm256_shuffle_epi32(x, 0x4E); }
DIBJPEG_ALWAYS_INLINE V Add(V a, V b) { return _mm256_add_epi16(a, b); }
DIBJPEG_ALWAYS_INLINE V Sub(V a, V b) { return _mm256_sub_epi16(a, b); }

// a x ca + b x cb for each pair (a, b) of a register made by unpacking.
DIBJPEG_ALWAYS_INLINE V Madd(V pairs, std::int32_t ca, std::int32_t cb) {
  const V weights = _mm256_set1_epi32(static_cast<std::int32_t>(static_cast<std::uint32_t>(cb) << 16 | (ca & 0xFFFF)));
  return _mm256_madd_epi16(pairs, weights);
}
DIBJPEG_ALWAYS_INLINE V Madd2(V pairs1, std::int32_t c1a, std::int32_t c1b, V pairs2, std::int32_t c2a,
                              std::int32_t c2b) {
  return _mm256_add_epi32(Madd(pairs1, c1a, c1b), Madd(pairs2, c2a, c2b));
}

// (x + 2^(bits - 1)) >> bits on 32-bit sums, then two of them as P(a, b).
DIBJPEG_ALWAYS_INLINE V Descale(V x, int bits) {
  return _mm256_srai_epi32(_mm256_add_epi32(x, _mm256_set1_epi32(1 << (bits - 1))), bits);
}
DIBJPEG_ALWAYS_INLINE V DescalePair(V a, V b, int bits) {
  return _mm256_packs_epi32(Descale(a, bits), Descale(b, bits));
}

// (a + 2^14) >> 15 and (b + 2^14) >> 15, word by word in turns (a's in
// the low word of each dword, b's in the high one), from a2 = 2a and
// b2 = 2b: (2a + 2^15) >> 16 is the same floor, and it is the high word of
// the sum, which one shift or none and a blend pick out. Weights of at
// most 2^14 stay within a 16-bit madd weight when doubled.
DIBJPEG_ALWAYS_INLINE V DescaleWordPairs(V a2, V b2) {
  const V round = _mm256_set1_epi32(1 << 15);
  return _mm256_blend_epi16(_mm256_srli_epi32(_mm256_add_epi32(a2, round), 16), _mm256_add_epi32(b2, round), 0xAA);
}

// P(t10 + t11, t10 - t11) from P(t10, t11): o0 and o4, with no multiply.
DIBJPEG_ALWAYS_INLINE V SumAndDifference(V t1011) {
  const V plusMinus = _mm256_setr_epi16(1, 1, 1, 1, -1, -1, -1, -1, 1, 1, 1, 1, -1, -1, -1, -1);
  return Add(Swap(t1011), _mm256_sign_epi16(t1011, plusMinus));
}

// The whole transform, its outputs in the order TransformPosition gives,
// which is how the column pass leaves them: rows 0 and 4 as P(0, 4), then
// rows 1 and 5, 2 and 3, 6 and 7, each pair column by column in turns,
// columns 0-3 in the low lane and 4-7 in the high one.
DIBJPEG_ALWAYS_INLINE void TransformPaired(V out[4], const std::uint8_t samples[64]) {
  // Row pass. Load rows two by two and turn them into P(column, column).
  V a[4];
  for (int g = 0; g < 4; ++g) {
    a[g] = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(samples + 16 * g)));
  }
  V b0 = _mm256_unpacklo_epi16(a[0], a[1]), b1 = _mm256_unpackhi_epi16(a[0], a[1]);
  V b2 = _mm256_unpacklo_epi16(a[2], a[3]), b3 = _mm256_unpackhi_epi16(a[2], a[3]);
  const V y01 = _mm256_unpacklo_epi32(b0, b2), y32 = Swap(_mm256_unpackhi_epi32(b0, b2));
  const V y45 = _mm256_unpacklo_epi32(b1, b3), y76 = Swap(_mm256_unpackhi_epi32(b1, b3));

  const V t01 = Add(y01, y76), t76 = Sub(y01, y76);
  const V t32 = Add(y32, y45), t45 = Sub(y32, y45);
  const V t1011 = Sub(Add(t01, t32), _mm256_set1_epi16(4 * 128));
  const V t1312 = Sub(t01, t32);
  const V w02 = SumAndDifference(t1011);
  const V w04 = Add(Add(w02, w02), Add(w02, w02));  // o0 x 4, o4 x 4 (adds: shifts share the shuffles' ports)
  const V even = _mm256_unpacklo_epi16(t1312, Swap(t1312));      // pairs (t13, t12)
  const V odd74 = _mm256_unpacklo_epi16(t76, t45), odd65 = _mm256_unpackhi_epi16(t76, t45);
  const V w15 = DescalePair(Madd2(odd74, 11363, 2260, odd65, 9633, 6437),
                            Madd2(odd74, 6437, 9633, odd65, -11362, 2261), 11);
  const V w26 = DescalePair(Madd(even, 10703, 4433), Madd(even, 4433, -10704), 11);
  const V w37 = DescalePair(Madd2(odd74, 9633, -6436, odd65, -2259, -11362),
                            Madd2(odd74, 2260, -11363, odd65, -6436, 9633), 11);

  // Transpose: P(o0, o4), P(o1, o5), ... become P(row, row) with columns
  // 0-3 in the low lane and 4-7 in the high lane.
  b0 = _mm256_unpacklo_epi16(w04, w15), b1 = _mm256_unpackhi_epi16(w04, w15);
  b2 = _mm256_unpacklo_epi16(w26, w37), b3 = _mm256_unpackhi_epi16(w26, w37);
  const V x0 = _mm256_unpacklo_epi32(b0, b2), x1 = _mm256_unpackhi_epi32(b0, b2);  // rows 0, 2 | 1, 3 and 4, 6 | 5, 7
  const V x2 = _mm256_unpacklo_epi32(b1, b3), x3 = _mm256_unpackhi_epi32(b1, b3);  // the same, columns 4-7
  const V y02 = _mm256_permute2x128_si256(x0, x2, 0x20), y13 = _mm256_permute2x128_si256(x0, x2, 0x31);
  const V y64 = Swap(_mm256_permute2x128_si256(x1, x3, 0x20)), y75 = Swap(_mm256_permute2x128_si256(x1, x3, 0x31));

  // Column pass: the same butterfly on P(0, 2), P(1, 3), P(6, 4), P(7, 5).
  const V t02 = Add(y02, y75), t75 = Sub(y02, y75);
  const V t31 = Swap(Add(y13, y64)), t64 = Sub(y13, y64);
  const V u1011 = Add(t02, t31);
  const V u1312 = Sub(t02, t31);                                    // P(t13, -t12)
  // (x + 2) >> 2 as a rounding high multiply, (2^13 x + 2^14) >> 15: the
  // same floor, on a multiplier port.
  const V v04 = _mm256_mulhrs_epi16(SumAndDifference(u1011), _mm256_set1_epi16(1 << 13));
  const V even2 = _mm256_unpacklo_epi16(u1312, Swap(u1312));       // pairs (t13, -t12)
  const V odd76 = _mm256_unpacklo_epi16(t75, t64), odd54 = _mm256_unpackhi_epi16(t75, t64);
  // The weights doubled, for DescaleWordPairs.
  out[0] = v04;
  out[1] = DescaleWordPairs(Madd2(odd76, 2 * 11363, 2 * 9633, odd54, 2 * 6437, 2 * 2260),
                            Madd2(odd76, 2 * 6437, 2 * -11362, odd54, 2 * 2261, 2 * 9633));
  out[2] = DescaleWordPairs(Madd(even2, 2 * 10703, 2 * -4433),
                            Madd2(odd76, 2 * 9633, 2 * -2259, odd54, 2 * -11362, 2 * -6436));
  out[3] = DescaleWordPairs(Madd(even2, 2 * 4433, 2 * 10704),
                            Madd2(odd76, 2 * 2260, 2 * -6436, odd54, 2 * 9633, 2 * -11363));
}

// Within each lane, words taken in turns from two rows, back to four of
// the first and four of the second, and the other way.
DIBJPEG_ALWAYS_INLINE V Unzip(V x) {
  const V control = _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15,
                                     0, 1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15);
  return _mm256_shuffle_epi8(x, control);
}
DIBJPEG_ALWAYS_INLINE V Zip(V x) {
  const V control = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15,
                                     0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
  return _mm256_shuffle_epi8(x, control);
}

// [row a columns 0-3, row b columns 0-3 | row a columns 4-7, row b
// columns 4-7] to natural order (row a, then row b), and back: the low
// lane's second row swaps with the high lane's first.
DIBJPEG_ALWAYS_INLINE V SwapMiddleQuarters(V x) { return _mm256_permute4x64_epi64(x, 0xD8); }

// Outputs in TransformPosition's order to rows 2g and 2g + 1 in natural order.
DIBJPEG_ALWAYS_INLINE void NaturalOrder(V out[4], const V paired[4]) {
  const V rows15 = Unzip(paired[1]);
  out[0] = SwapMiddleQuarters(_mm256_unpacklo_epi64(paired[0], rows15));
  out[1] = SwapMiddleQuarters(Unzip(paired[2]));
  out[2] = SwapMiddleQuarters(_mm256_unpackhi_epi64(paired[0], rows15));
  out[3] = SwapMiddleQuarters(Unzip(paired[3]));
}

// Natural order, as rows 2g and 2g + 1 with the middle quarters swapped
// (what packing two rows of 32-bit values gives), to TransformPosition's.
DIBJPEG_ALWAYS_INLINE void TransformOrder(V out[4], const V rowPairs[4]) {
  out[0] = _mm256_unpacklo_epi64(rowPairs[0], rowPairs[2]);
  out[1] = Zip(_mm256_unpackhi_epi64(rowPairs[0], rowPairs[2]));
  out[2] = Zip(rowPairs[1]);
  out[3] = Zip(rowPairs[3]);
}

// The whole transform; out[g] receives output rows 2g and 2g + 1, natural order.
DIBJPEG_ALWAYS_INLINE void Transform(V out[4], const std::uint8_t samples[64]) {
  V paired[4];
  TransformPaired(paired, samples);
  NaturalOrder(out, paired);
}

// Magnitudes of sixteen quantized values, outputs i..i + 15 in
// TransformPosition's order: (|x| + correction) x reciprocal, shifted right
// by 16 + s - 1 in two high multiplies (see SetQuantValue, exact for every
// 16-bit x).
DIBJPEG_ALWAYS_INLINE V QuantizedMagnitude(V x, const QuantTable* table, int i) {
  const V correction = _mm256_loadu_si256(reinterpret_cast<const V*>(table->correction + i));
  const V reciprocal = _mm256_loadu_si256(reinterpret_cast<const V*>(table->reciprocal + i));
  const V scale = _mm256_loadu_si256(reinterpret_cast<const V*>(table->scale + i));
  const V n = _mm256_add_epi16(_mm256_abs_epi16(x), correction);
  return _mm256_mulhi_epu16(_mm256_mulhi_epu16(n, reciprocal), scale);
}

// Byte shuffles that gather the non-zero flags of a block in zigzag order.
// The flags come as two registers, each two transform registers packed to
// bytes: lane h of the first holds positions 8h..8h+7 and 16+8h..16+8h+7
// (TransformPosition's order), the second the same 32 on; and as the same
// two with their lanes swapped. control[z][s] picks, for zigzag positions
// 32z..32z+31, the bytes that source s holds in the same lane, and zeros
// elsewhere.
struct ZigzagShuffleTable {
  alignas(32) std::int8_t control[2][4][32];
};
constexpr ZigzagShuffleTable MakeZigzagShuffleTable() {
  ZigzagShuffleTable table{};
  for (int k = 0; k < 64; ++k) {
    const int at = ZigzagTransformOrder.at[k];
    const int lane = k >> 4 & 1, from = at >> 3 & 1;  // the lane it goes to, the lane it comes from
    const int source = (at >= 32 ? 2 : 0) + (from ^ lane);
    for (int s = 0; s < 4; ++s) {
      table.control[k >> 5][s][k & 31] = static_cast<std::int8_t>(s == source ? (at >> 4 & 1) * 8 + (at & 7) : -128);
    }
  }
  return table;
}
constexpr ZigzagShuffleTable ZigzagShuffle = MakeZigzagShuffleTable();

// Bit k set when the coefficient at zigzag position k is not zero. Exact: the
// magnitudes are at most 4224, so saturating them to bytes keeps zero and
// non-zero apart, every output byte takes exactly one flag, and the final
// byte saturation sets bit 7 of each non-zero one.
DIBJPEG_ALWAYS_INLINE std::uint64_t ZigzagNonzero(const V magnitude[4]) {
  const V rows0123 = _mm256_packs_epi16(magnitude[0], magnitude[1]);
  const V rows4567 = _mm256_packs_epi16(magnitude[2], magnitude[3]);
  const V sources[4] = {rows0123, _mm256_permute2x128_si256(rows0123, rows0123, 0x01), rows4567,
                        _mm256_permute2x128_si256(rows4567, rows4567, 0x01)};
  std::uint64_t mask = 0;
  for (int z = 0; z < 2; ++z) {
    V flags = _mm256_setzero_si256();
    for (int s = 0; s < 4; ++s) {
      const V control = _mm256_load_si256(reinterpret_cast<const V*>(ZigzagShuffle.control[z][s]));
      flags = _mm256_or_si256(flags, _mm256_shuffle_epi8(sources[s], control));
    }
    flags = _mm256_adds_epu8(flags, _mm256_set1_epi8(127));
    mask |= std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(flags))} << (32 * z);
  }
  return mask;
}

// True when all 64 samples are equal, as on blank paper.
DIBJPEG_ALWAYS_INLINE bool FlatBlock(const std::uint8_t samples[64]) {
  const V first = _mm256_set1_epi8(static_cast<char>(samples[0]));
  const V a = _mm256_loadu_si256(reinterpret_cast<const V*>(samples));
  const V b = _mm256_loadu_si256(reinterpret_cast<const V*>(samples + 32));
  return _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(a, first), _mm256_cmpeq_epi8(b, first))) == -1;
}

// TransformBlockAvx2, delivering the block as the AVX2 coder takes it, in
// TransformPosition's order. A flat
// block of sample v skips the transform: Transform gives it 64 x (v - 128) as
// its DC term (4 x the row sum, less the level shift, in the row pass; the
// column pass sums eight of those, (256 x (v - 128) + 2) >> 2) and 0 for
// every other output, since each of them weighs the samples with weights
// that sum to 0.
DIBJPEG_ALWAYS_INLINE void TransformMagnitudes(BlockMagnitudes* out, const std::uint8_t samples[64],
                                               const QuantTable* table) {
  V rows[4], magnitude[4];
  if (FlatBlock(samples)) {
    rows[0] = _mm256_zextsi128_si256(_mm_cvtsi32_si128((64 * (samples[0] - 128)) & 0xFFFF));
    rows[1] = rows[2] = rows[3] = _mm256_setzero_si256();
  } else {
    TransformPaired(rows, samples);
  }
  for (int g = 0; g < 4; ++g) {
    magnitude[g] = QuantizedMagnitude(rows[g], table, 16 * g);
    // Negative values send the one's complement of their magnitude.
    const V bits = _mm256_xor_si256(magnitude[g], _mm256_cmpgt_epi16(_mm256_setzero_si256(), rows[g]));
    _mm256_store_si256(reinterpret_cast<V*>(out->bits + 16 * g), bits);
    _mm256_store_si256(reinterpret_cast<V*>(out->magnitude + 16 * g), magnitude[g]);
  }
  out->nonzero = ZigzagNonzero(magnitude);
  out->dc = static_cast<std::int16_t>(_mm256_cvtsi256_si32(_mm256_sign_epi16(magnitude[0], rows[0])));
}

}  // namespace
}  // namespace dibjpeg
