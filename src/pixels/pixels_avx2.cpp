// AVX2 colour conversion fused with the chroma means: one MCU from the
// source rows straight into its blocks, in 16-bit lanes.
//
// Each lane holds one pixel's bytes as two pairs, R | G << 8 and R | B << 8,
// so that one multiply-add of unsigned bytes by signed byte weights gives two
// weighted channels at once. A byte weight stops at 127, so 128B is taken as
// 127B + B, 128R as 127R + R, and 256G is moved out of the luma shift:
//   Y  = G + ((77R - 106G + 29B + 128) >> 8)       sum within +-27030
//   Cb = ((128B - 43R - 85G + 128) >> 8) + 128     sum within +-32640
//   Cr = ((128R - 107G - 21B + 128) >> 8) + 128    sum within +-32640
// Every partial sum fits 16 signed bits, and moving the multiple of 256 out
// of a floor changes nothing, so these are the portable formulas exactly.
// (x + 128) >> 8 is a rounding high multiply by 128, (128x + 2^14) >> 15:
// the same floor, with no overflow. Cb and Cr stay signed, -127..128, until
// they are packed to bytes with signed saturation, which is the clamp at 255
// (only a pure blue or red reaches 128); xor 0x80 then adds the 128.
#include <immintrin.h>

#include "pixels/pixel_kernels.h"

namespace dibjpeg {
namespace {

using V = __m256i;

constexpr std::size_t PrefetchDistance = 256;  // bytes ahead along each row

// 16 pixels, one per 16-bit lane.
struct Pairs {
  V rg;  // R | G << 8
  V rb;  // R | B << 8
};

// One MCU's samples in 16-bit lanes: y 0..255; cb and cr -127..128, not yet
// clamped or offset.
struct Converted {
  V y, cb, cr;
};

// Shuffle control that puts bytes `low` and `high` of pixel k (of `bytes`
// bytes each) into 16-bit lane k of each half, from the 16-byte piece of the
// pixels that starts at byte `from`; -1 (zero) where the byte lies in
// another piece. Both halves alike, so that it is one 32-byte load.
struct Control {
  signed char at[32];
};
constexpr Control PieceControl(int bytes, int low, int high, int from) {
  Control c{};
  for (int k = 0; k < 16; ++k) {
    const int lo = k % 8 * bytes + low - from, hi = k % 8 * bytes + high - from;
    c.at[2 * k] = static_cast<signed char>(lo >= 0 && lo < 16 ? lo : -1);
    c.at[2 * k + 1] = static_cast<signed char>(hi >= 0 && hi < 16 ? hi : -1);
  }
  return c;
}

V Shuffle(V v, const Control& c) {
  return _mm256_shuffle_epi8(v, _mm256_loadu_si256(reinterpret_cast<const V*>(c.at)));
}

// Two 16-byte pieces as the two halves of a vector: `low` then `high`.
V Halves(__m128i low, __m128i high) { return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1); }

__m128i Load16(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
__m128i Load8(const std::uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }

// 16 pixels of 3 or 4 bytes: 8 starting at `first` (the low half of each
// vector) and 8 starting at `second` (the next 8 of the same row, or 8 of
// another row). Reads exactly 8 pixels at each.
template <int Bytes, bool BlueFirst>
Pairs LoadBytes(const std::uint8_t* first, const std::uint8_t* second) {
  constexpr int R = BlueFirst ? 2 : 0, G = 1, B = BlueFirst ? 0 : 2;
  static constexpr Control RgHead = PieceControl(Bytes, R, G, 0), RgTail = PieceControl(Bytes, R, G, 16);
  static constexpr Control RbHead = PieceControl(Bytes, R, B, 0), RbTail = PieceControl(Bytes, R, B, 16);
  const V head = Halves(Load16(first), Load16(second));
  const V tail = Bytes == 3 ? Halves(Load8(first + 16), Load8(second + 16))
                            : Halves(Load16(first + 16), Load16(second + 16));
  return Pairs{_mm256_or_si256(Shuffle(head, RgHead), Shuffle(tail, RgTail)),
               _mm256_or_si256(Shuffle(head, RbHead), Shuffle(tail, RbTail))};
}

// 16 pixels of 5-5-5 words; each 5-bit field f becomes 8f in the low or the
// high byte of its lane.
template <bool BlueFirst>
Pairs LoadWords(const std::uint8_t* first, const std::uint8_t* second) {
  const V v = Halves(Load16(first), Load16(second));
  const V low = _mm256_set1_epi16(0xF8), high = _mm256_set1_epi16(static_cast<short>(0xF800));
  const V f0Low = _mm256_and_si256(_mm256_slli_epi16(v, 3), low);
  const V f2Low = _mm256_and_si256(_mm256_srli_epi16(v, 7), low);
  const V f0High = _mm256_and_si256(_mm256_slli_epi16(v, 11), high);
  const V f1High = _mm256_and_si256(_mm256_slli_epi16(v, 6), high);
  const V f2High = _mm256_and_si256(_mm256_slli_epi16(v, 1), high);
  return BlueFirst ? Pairs{_mm256_or_si256(f2Low, f1High), _mm256_or_si256(f2Low, f0High)}
                   : Pairs{_mm256_or_si256(f0Low, f1High), _mm256_or_si256(f0Low, f2High)};
}

// Weight `low` on each lane's low byte plus weight `high` on its high byte.
V MulAdd(V pairs, int low, int high) {
  return _mm256_maddubs_epi16(pairs, _mm256_set1_epi16(static_cast<short>((high & 0xFF) << 8 | (low & 0xFF))));
}

// (x + 128) >> 8, arithmetic, for any 16-bit x.
V RoundShift8(V x) { return _mm256_mulhrs_epi16(x, _mm256_set1_epi16(128)); }

// The formulas at the top of the file.
Converted Convert(const Pairs& p) {
  const V g = _mm256_srli_epi16(p.rg, 8), b = _mm256_srli_epi16(p.rb, 8);
  const V y = _mm256_add_epi16(g, RoundShift8(_mm256_add_epi16(MulAdd(p.rb, 77, 29), MulAdd(p.rg, 0, -106))));
  const V cb = RoundShift8(_mm256_add_epi16(_mm256_add_epi16(MulAdd(p.rb, -43, 127), MulAdd(p.rg, 0, -85)), b));
  const V cr = RoundShift8(_mm256_add_epi16(MulAdd(p.rg, 127, -107), MulAdd(p.rb, 1, -21)));
  return Converted{y, cb, cr};
}

// Signed bytes to unsigned: + 128.
V Unsigned(V bytes) { return _mm256_xor_si256(bytes, _mm256_set1_epi8(static_cast<char>(0x80))); }

// Sums of adjacent signed bytes, in 16-bit lanes.
V PairSums(V bytes) { return _mm256_maddubs_epi16(_mm256_set1_epi8(1), bytes); }

void StoreHalves(V v, std::uint8_t* low, std::uint8_t* high) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(low), _mm256_castsi256_si128(v));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(high), _mm256_extracti128_si256(v, 1));
}

// Stores two rows of the Cb and the Cr block from their means, -127..127,
// laid out as [row 0 samples 0-3, row 1 samples 0-3 | row 0 samples 4-7,
// row 1 samples 4-7]: bytes with the 128 added, 16 to each block.
void StoreChromaRows(V cb, V cr, std::uint8_t* cbOut, std::uint8_t* crOut) {
  const V packed = _mm256_packs_epi16(cb, cr);  // 4-byte groups: Cb 0a 1a, Cr 0a 1a | Cb 0b 1b, Cr 0b 1b
  const V rows = _mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
  StoreHalves(Unsigned(rows), cbOut, crOut);
}

// The MCU's rows in the source: row i starts at top - i x stride.
template <int Bytes, Pairs (*Load)(const std::uint8_t*, const std::uint8_t*)>
struct Rows {
  const std::uint8_t* source;
  std::size_t top;
  std::size_t stride;
  std::size_t ahead;  // prefetch distance: no row reaches past the source's last byte

  // The MCUs of one row are read across many image rows at once, more
  // streams than the hardware prefetcher follows: ask for the pixels a few
  // MCUs ahead.
  void Prefetch(std::size_t at) const {
    _mm_prefetch(reinterpret_cast<const char*>(source + at + ahead), _MM_HINT_T0);
  }
  // Pixels 0..15 of row i: 0..7 in the low halves, 8..15 in the high ones.
  Converted Wide(int i) const {
    const std::size_t first = top - stride * i;
    Prefetch(first);
    return Convert(Load(source + first, source + first + 8 * Bytes));
  }
  // Pixels 0..7 of row i in the low halves and of row i + 1 in the high ones.
  Converted Narrow(int i) const {
    const std::size_t first = top - stride * i, second = first - stride;
    Prefetch(first);
    Prefetch(second);
    return Convert(Load(source + first, source + second));
  }
};

// 8x8: blocks Y, Cb, Cr, four rows at a time. A pack interleaves the halves
// (rows 0, 2 | 1, 3); the 64-bit permute puts the rows back in order. Cb
// and Cr are the converted samples themselves, clamped by the signed pack.
template <typename R>
void Convert444(const R& rows, std::uint8_t* mcu) {
  for (int i = 0; i < 8; i += 4) {
    const Converted a = rows.Narrow(i), b = rows.Narrow(i + 2);
    const auto store = [&](V packed, std::uint8_t* out) {
      _mm256_storeu_si256(reinterpret_cast<V*>(out), _mm256_permute4x64_epi64(packed, 0xD8));
    };
    store(_mm256_packus_epi16(a.y, b.y), mcu + 8 * i);
    store(Unsigned(_mm256_packs_epi16(a.cb, b.cb)), mcu + 64 + 8 * i);
    store(Unsigned(_mm256_packs_epi16(a.cr, b.cr)), mcu + 128 + 8 * i);
  }
}

// 16x8: Y left and right, then Cb and Cr from horizontal pairs, two rows at
// a time. Exact: each mean adds two samples already clamped by the signed
// pack, c0 + c1 with c = sample - 128, and (c0 + c1) >> 1 is
// ((sample0 + sample1) >> 1) - 128, since 2 x 128 is even.
template <typename R>
void Convert422(const R& rows, std::uint8_t* mcu) {
  for (int i = 0; i < 8; i += 2) {
    const Converted a = rows.Wide(i), b = rows.Wide(i + 1);
    // [row i, row i + 1 of the left block | the same rows of the right one]
    StoreHalves(_mm256_packus_epi16(a.y, b.y), mcu + 8 * i, mcu + 64 + 8 * i);
    const V cb = _mm256_srai_epi16(PairSums(_mm256_packs_epi16(a.cb, b.cb)), 1);
    const V cr = _mm256_srai_epi16(PairSums(_mm256_packs_epi16(a.cr, b.cr)), 1);
    StoreChromaRows(cb, cr, mcu + 128 + 8 * i, mcu + 192 + 8 * i);
  }
}

// 16x16: Y blocks top left, top right, bottom left, bottom right, then Cb
// and Cr from 2x2 neighbourhoods, four rows at a time. Exact as for 16x8:
// the four samples are clamped before they are added, and
// (c0 + c1 + c2 + c3) >> 2 is ((s0 + s1 + s2 + s3) >> 2) - 128, since
// 4 x 128 is a multiple of 4.
template <typename R>
void Convert420(const R& rows, std::uint8_t* mcu) {
  for (int i = 0; i < 16; i += 4) {
    // Rows i and i + 2 share a pack, so do i + 1 and i + 3: the sums line
    // up as [rows i..i+1 samples 0-3, rows i+2..i+3 samples 0-3 | 4-7, 4-7].
    // Packing as soon as a pair is converted keeps fewer vectors live.
    const Converted a = rows.Wide(i), c = rows.Wide(i + 2);
    const V cbSums = PairSums(_mm256_packs_epi16(a.cb, c.cb)), crSums = PairSums(_mm256_packs_epi16(a.cr, c.cr));
    const Converted b = rows.Wide(i + 1), d = rows.Wide(i + 3);
    std::uint8_t* left = mcu + 128 * (i / 8) + 8 * (i % 8);
    StoreHalves(_mm256_packus_epi16(a.y, b.y), left, left + 64);
    StoreHalves(_mm256_packus_epi16(c.y, d.y), left + 16, left + 80);
    const V cb = _mm256_srai_epi16(_mm256_add_epi16(cbSums, PairSums(_mm256_packs_epi16(b.cb, d.cb))), 2);
    const V cr = _mm256_srai_epi16(_mm256_add_epi16(crSums, PairSums(_mm256_packs_epi16(b.cr, d.cr))), 2);
    StoreChromaRows(cb, cr, mcu + 256 + 4 * i, mcu + 320 + 4 * i);
  }
}

template <int Bytes, Pairs (*Load)(const std::uint8_t*, const std::uint8_t*)>
int ConvertMcu(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
               McuLayout layout, std::uint8_t* mcuBuffer) {
  // The top row lies highest in memory and is not empty, so size > top.
  const std::size_t room = size - 1 - top;
  const Rows<Bytes, Load> rows{source, top, rowStride, room < PrefetchDistance ? room : PrefetchDistance};
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

int ConvertMcuRgb16Avx2(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                        McuLayout layout, std::uint8_t* mcuBuffer) {
  return ConvertMcu<2, LoadWords<false>>(source, size, top, rowStride, layout, mcuBuffer);
}
int ConvertMcuBgr16Avx2(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                        McuLayout layout, std::uint8_t* mcuBuffer) {
  return ConvertMcu<2, LoadWords<true>>(source, size, top, rowStride, layout, mcuBuffer);
}
int ConvertMcuRgb24Avx2(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                        McuLayout layout, std::uint8_t* mcuBuffer) {
  return ConvertMcu<3, LoadBytes<3, false>>(source, size, top, rowStride, layout, mcuBuffer);
}
int ConvertMcuBgr24Avx2(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                        McuLayout layout, std::uint8_t* mcuBuffer) {
  return ConvertMcu<3, LoadBytes<3, true>>(source, size, top, rowStride, layout, mcuBuffer);
}
int ConvertMcuRgb32Avx2(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                        McuLayout layout, std::uint8_t* mcuBuffer) {
  return ConvertMcu<4, LoadBytes<4, false>>(source, size, top, rowStride, layout, mcuBuffer);
}
int ConvertMcuBgr32Avx2(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                        McuLayout layout, std::uint8_t* mcuBuffer) {
  return ConvertMcu<4, LoadBytes<4, true>>(source, size, top, rowStride, layout, mcuBuffer);
}

}  // namespace dibjpeg
