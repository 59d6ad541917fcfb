// AVX-512 colour conversion fused with the chroma means, 32 pixels to a
// vector: the formulas of pixels_avx2.cpp, lane for lane (each 16-bit lane
// computes exactly what the AVX2 lane does, so the samples are the portable
// ones), with the pixels gathered by a byte permute over two rows instead of
// loads, inserts and in-lane shuffles. Rows are read with masked loads that
// touch exactly the 8 or 16 pixels of the MCU, as the AVX2 kernel reads them.
#include <immintrin.h>

#include "pixels/pixel_kernels.h"

namespace dibjpeg {
namespace {

using W = __m512i;

constexpr std::size_t PrefetchDistance = 256;  // bytes ahead along each row

// 32 pixels, one per 16-bit lane.
struct Pairs {
  W rg;  // R | G << 8
  W rb;  // R | B << 8
};

// 32 pixels' samples in 16-bit lanes: y 0..255; cb and cr -127..128, not yet
// clamped or offset.
struct Converted {
  W y, cb, cr;
};

// Byte permute over two 64-byte sources (an index of 64 or more picks the
// second) that puts bytes `low` and `high` of pixel p into 16-bit lane p.
// Wide: each source is one row of 16 pixels, and the lanes hold the first
// source's 16 then the second's. Narrow: each source holds a row of 8
// pixels at byte 0 and another at byte 32, and each 8 lanes take one of
// them in that order.
struct Gather {
  alignas(64) std::uint8_t index[64];
};
constexpr Gather MakeGather(int bytes, int low, int high, bool wide) {
  Gather g{};
  for (int p = 0; p < 32; ++p) {
    const int at = wide ? (p / 16) * 64 + p % 16 * bytes : (p / 16) * 64 + (p / 8 % 2) * 32 + p % 8 * bytes;
    g.index[2 * p] = static_cast<std::uint8_t>(at + low);
    g.index[2 * p + 1] = static_cast<std::uint8_t>(at + high);
  }
  return g;
}

// Weight `low` on each lane's low byte plus weight `high` on its high byte.
W MulAdd(W pairs, int low, int high) {
  return _mm512_maddubs_epi16(pairs, _mm512_set1_epi16(static_cast<short>((high & 0xFF) << 8 | (low & 0xFF))));
}

// (x + 128) >> 8, arithmetic, for any 16-bit x.
W RoundShift8(W x) { return _mm512_mulhrs_epi16(x, _mm512_set1_epi16(128)); }

// The formulas at the top of pixels_avx2.cpp.
Converted Convert(const Pairs& p) {
  const W g = _mm512_srli_epi16(p.rg, 8), b = _mm512_srli_epi16(p.rb, 8);
  const W y = _mm512_add_epi16(g, RoundShift8(_mm512_add_epi16(MulAdd(p.rb, 77, 29), MulAdd(p.rg, 0, -106))));
  const W cb = RoundShift8(_mm512_add_epi16(_mm512_add_epi16(MulAdd(p.rb, -43, 127), MulAdd(p.rg, 0, -85)), b));
  const W cr = RoundShift8(_mm512_add_epi16(MulAdd(p.rg, 127, -107), MulAdd(p.rb, 1, -21)));
  return Converted{y, cb, cr};
}

// Signed bytes to unsigned: + 128.
W Unsigned(W bytes) { return _mm512_xor_si512(bytes, _mm512_set1_epi8(static_cast<char>(0x80))); }

// Sums of adjacent signed bytes, in 16-bit lanes.
W PairSums(W bytes) { return _mm512_maddubs_epi16(_mm512_set1_epi8(1), bytes); }

// (GCC 12's unmasked permutes and extracts trip its own uninitialised-value
// warning; the zero-masked forms with every lane kept do not.)

// The 64-bit quarters of v taken in the order `at`.
W Quarters(W v, const std::int64_t (&at)[8]) { return _mm512_maskz_permutexvar_epi64(0xFF, _mm512_loadu_si512(at), v); }
constexpr std::int64_t LanesInterleaved[8] = {0, 1, 4, 5, 2, 3, 6, 7};  // 128-bit lanes 0, 2, 1, 3

void Store256(std::uint8_t* at, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), v); }

// The low half of v at `low`, the high one at `high`.
void StoreHalves(W v, std::uint8_t* low, std::uint8_t* high) {
  Store256(low, _mm512_maskz_extracti64x4_epi64(0xF, v, 0));
  Store256(high, _mm512_maskz_extracti64x4_epi64(0xF, v, 1));
}

// Chroma means, -127..127, packed with Cb in dwords 0-1 and Cr in 2-3 of
// each lane, to 32 bytes of each block with the 128 added: `order` gives
// the dwords of the Cb rows, then those of the Cr rows.
void StoreChroma(W cb, W cr, const std::int32_t (&order)[16], std::uint8_t* cbOut, std::uint8_t* crOut) {
  const W rows = _mm512_maskz_permutexvar_epi32(0xFFFF, _mm512_loadu_si512(order), _mm512_packs_epi16(cb, cr));
  StoreHalves(Unsigned(rows), cbOut, crOut);
}

// The MCU's rows in the source: row i starts at top - i x stride.
template <int Bytes, bool BlueFirst>
struct Rows {
  static constexpr int R = BlueFirst ? 2 : 0, G = 1, B = BlueFirst ? 0 : 2;
  static constexpr Gather WideRg = MakeGather(Bytes, R, G, true), WideRb = MakeGather(Bytes, R, B, true);
  static constexpr Gather NarrowRg = MakeGather(Bytes, R, G, false), NarrowRb = MakeGather(Bytes, R, B, false);

  const std::uint8_t* source;
  std::size_t top;
  std::size_t stride;
  std::size_t ahead;  // prefetch distance: no row reaches past the source's last byte

  // As in the AVX2 kernel: the pixels a few MCUs ahead along each row.
  const std::uint8_t* Row(int i) const {
    const std::size_t first = top - stride * i;
    _mm_prefetch(reinterpret_cast<const char*>(source + first + ahead), _MM_HINT_T0);
    return source + first;
  }
  static Converted Permuted(W a, W b, const Gather& rg, const Gather& rb) {
    return Convert(Pairs{_mm512_permutex2var_epi8(a, _mm512_load_si512(rg.index), b),
                         _mm512_permutex2var_epi8(a, _mm512_load_si512(rb.index), b)});
  }
  // Exactly 16 pixels at p, in the low bytes.
  static W Load16(const std::uint8_t* p) {
    return _mm512_maskz_loadu_epi8(Bytes == 4 ? ~__mmask64{0} : (__mmask64{1} << 16 * Bytes) - 1, p);
  }
  // Exactly 8 pixels at p, in the low bytes.
  static __m256i Load8(const std::uint8_t* p) {
    return _mm256_maskz_loadu_epi8(Bytes == 4 ? ~__mmask32{0} : (__mmask32{1} << 8 * Bytes) - 1, p);
  }
  // low in the lower half, high in the upper one (a masked broadcast, as
  // GCC 12's _mm512_inserti64x4 trips its own uninitialised-value warning).
  static W Join(__m256i low, __m256i high) {
    return _mm512_mask_broadcast_i64x4(_mm512_castsi256_si512(low), 0xF0, high);
  }

  // Pixels 0..15 of row i, then of row j: lanes [i 0-7, i 8-15, j 0-7, j 8-15].
  Converted Wide(int i, int j) const { return Permuted(Load16(Row(i)), Load16(Row(j)), WideRg, WideRb); }
  // Pixels 0..7 of rows i, i + 2, i + 4 and i + 6, a lane each.
  Converted Narrow(int i) const {
    const W a = Join(Load8(Row(i)), Load8(Row(i + 2)));
    const W b = Join(Load8(Row(i + 4)), Load8(Row(i + 6)));
    return Permuted(a, b, NarrowRg, NarrowRb);
  }
};

// 8x8: blocks Y, Cb, Cr. Packing rows 0, 2, 4, 6 with rows 1, 3, 5, 7 puts
// every lane's two rows in order; Cb and Cr are clamped by the signed pack.
template <typename R>
void Convert444(const R& rows, std::uint8_t* mcu) {
  const Converted a = rows.Narrow(0), b = rows.Narrow(1);
  _mm512_storeu_si512(mcu, _mm512_packus_epi16(a.y, b.y));
  _mm512_storeu_si512(mcu + 64, Unsigned(_mm512_packs_epi16(a.cb, b.cb)));
  _mm512_storeu_si512(mcu + 128, Unsigned(_mm512_packs_epi16(a.cr, b.cr)));
}

// 16x8: Y left and right, then Cb and Cr from horizontal pairs, four rows
// at a time; the means exact as in the AVX2 kernel. Packing rows i, i + 2
// with i + 1, i + 3 gives lanes [left i, i + 1 | right i, i + 1 | left
// i + 2, i + 3 | right i + 2, i + 3], and the chroma dwords per lane
// [Cb of the first row, of the second, Cr the same] for samples 0-3 in
// even lanes and 4-7 in odd ones.
template <typename R>
void Convert422(const R& rows, std::uint8_t* mcu) {
  static constexpr std::int32_t Order[16] = {0, 4, 1, 5, 8, 12, 9, 13, 2, 6, 3, 7, 10, 14, 11, 15};
  for (int i = 0; i < 8; i += 4) {
    const Converted a = rows.Wide(i, i + 2), b = rows.Wide(i + 1, i + 3);
    StoreHalves(Quarters(_mm512_packus_epi16(a.y, b.y), LanesInterleaved), mcu + 8 * i, mcu + 64 + 8 * i);
    const W cb = _mm512_srai_epi16(PairSums(_mm512_packs_epi16(a.cb, b.cb)), 1);
    const W cr = _mm512_srai_epi16(PairSums(_mm512_packs_epi16(a.cr, b.cr)), 1);
    StoreChroma(cb, cr, Order, mcu + 128 + 8 * i, mcu + 192 + 8 * i);
  }
}

// 16x16: Y blocks top left, top right, bottom left, bottom right, then Cb
// and Cr from 2x2 neighbourhoods, eight rows at a time; the means exact as
// in the AVX2 kernel. The vertical pairs come from separate vectors (rows
// i, i + 2 with i + 1, i + 3, and the same four rows on), so that one pack
// and one add line them up: per lane, the sums of chroma rows c and c + 2,
// c = i / 2 in lanes 0-1 and i / 2 + 1 in lanes 2-3, samples 0-3 in even
// lanes and 4-7 in odd ones.
template <typename R>
void Convert420(const R& rows, std::uint8_t* mcu) {
  static constexpr std::int32_t Order[16] = {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};
  for (int i = 0; i < 16; i += 8) {
    const Converted a = rows.Wide(i, i + 2), b = rows.Wide(i + 1, i + 3);
    std::uint8_t* left = mcu + 128 * (i / 8);
    StoreHalves(Quarters(_mm512_packus_epi16(a.y, b.y), LanesInterleaved), left, left + 64);
    const Converted c = rows.Wide(i + 4, i + 6), d = rows.Wide(i + 5, i + 7);
    StoreHalves(Quarters(_mm512_packus_epi16(c.y, d.y), LanesInterleaved), left + 32, left + 96);
    const W cbSums =
        _mm512_add_epi16(PairSums(_mm512_packs_epi16(a.cb, c.cb)), PairSums(_mm512_packs_epi16(b.cb, d.cb)));
    const W crSums =
        _mm512_add_epi16(PairSums(_mm512_packs_epi16(a.cr, c.cr)), PairSums(_mm512_packs_epi16(b.cr, d.cr)));
    StoreChroma(_mm512_srai_epi16(cbSums, 2), _mm512_srai_epi16(crSums, 2), Order, mcu + 256 + 4 * i,
                mcu + 320 + 4 * i);
  }
}

template <int Bytes, bool BlueFirst>
int ConvertMcu(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride, McuLayout layout,
               std::uint8_t* mcuBuffer) {
  // The top row lies highest in memory and is not empty, so size > top.
  const std::size_t room = size - 1 - top;
  const Rows<Bytes, BlueFirst> rows{source, top, rowStride, room < PrefetchDistance ? room : PrefetchDistance};
  switch (layout) {
    case McuLayout::Sampling420:
      Convert420(rows, mcuBuffer);
      break;
    case McuLayout::Sampling422:
      Convert422(rows, mcuBuffer);
      break;
    case McuLayout::Sampling444:
      Convert444(rows, mcuBuffer);
      break;
  }
  return 1;
}

}  // namespace

int ConvertMcuRgb24Avx512(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                          McuLayout layout, std::uint8_t* mcuBuffer) {
  return ConvertMcu<3, false>(source, size, top, rowStride, layout, mcuBuffer);
}
int ConvertMcuBgr24Avx512(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                          McuLayout layout, std::uint8_t* mcuBuffer) {
  return ConvertMcu<3, true>(source, size, top, rowStride, layout, mcuBuffer);
}
int ConvertMcuRgb32Avx512(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                          McuLayout layout, std::uint8_t* mcuBuffer) {
  return ConvertMcu<4, false>(source, size, top, rowStride, layout, mcuBuffer);
}
int ConvertMcuBgr32Avx512(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                          McuLayout layout, std::uint8_t* mcuBuffer) {
  return ConvertMcu<4, true>(source, size, top, rowStride, layout, mcuBuffer);
}

}  // namespace dibjpeg
