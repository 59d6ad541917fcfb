// The MCU coder compiled for processors with AVX-512 (F, BW, CD, DQ, VL and
// VBMI) as well as AVX2, BMI1, BMI2 and LZCNT. The transform is the AVX2 one,
// which here may use 32 vector registers; what differs is the hand-off to the
// coder: two 32-lane permutes put a block's outputs in zigzag order, where
// they are quantized with factors kept in that order; one test per 32 lanes
// gives the non-zero mask, and each position's category and cut extra bits
// are worked out in the vectors, so the coder walks the mask's bits and
// loads at each position what it sends, with no natural index and no bit
// counting in between.
#include "block/block_kernels.h"
#include "block/forward_dct_avx2.h"
#include "block/huffman_coder.h"

namespace dibjpeg {
namespace {

using W = __m512i;

// A quantized block as this coder takes it, in zigzag order, with what the
// AC loop needs of each position worked out for all 64 at once.
struct ZigzagMagnitudes {
  alignas(64) std::uint16_t symbol[64];  // 16 k + category at position k: less 16 x (run start), its AC symbol
  alignas(64) std::uint16_t extra[64];   // the extra bits: the low category bits of v, or of v - 1 for negative v
  std::uint64_t nonzero;                 // bit k set when position k is not 0
  std::int16_t dc;                       // coefficient 0
};

// Where the transform leaves zigzag positions 0..31 and 32..63
// (TransformPosition), for a permute over the two halves of a block (an
// index of 32 or more picks the second half).
struct ZigzagPermute {
  alignas(64) std::uint16_t index[2][32];
};
constexpr ZigzagPermute MakeZigzagPermute() {
  ZigzagPermute p{};
  for (int k = 0; k < 64; ++k) p.index[k >> 5][k & 31] = static_cast<std::uint16_t>(ZigzagTransformOrder.at[k]);
  return p;
}
constexpr ZigzagPermute Zigzag = MakeZigzagPermute();

// 16 (k + 1) for zigzag positions 0..31 and 32..63.
struct SixteenAfterTable {
  alignas(64) std::uint16_t value[2][32];
};
constexpr SixteenAfterTable MakeSixteenAfter() {
  SixteenAfterTable t{};
  for (int k = 0; k < 64; ++k) t.value[k >> 5][k & 31] = static_cast<std::uint16_t>(16 * (k + 1));
  return t;
}
constexpr SixteenAfterTable SixteenAfter = MakeSixteenAfter();

// low in the lower half, high in the upper one. (GCC 12's _mm512_inserti64x4
// trips its own uninitialised-value warning; a masked broadcast does not.)
DIBJPEG_ALWAYS_INLINE W Join(V low, V high) {
  return _mm512_mask_broadcast_i64x4(_mm512_castsi256_si512(low), 0xF0, high);
}

// TransformMagnitudes (forward_dct_avx2.h) with the results in zigzag order.
// Exact: the same transform and quantizer, 32 lanes at a time (each lane's
// arithmetic is the 16-lane code's, with each output's own factors), and a
// permute only moves values.
DIBJPEG_ALWAYS_INLINE void TransformZigzag(ZigzagMagnitudes* out, const std::uint8_t samples[64],
                                           const QuantTable* table) {
  V rows[4];
  if (FlatBlock(samples)) {
    rows[0] = _mm256_zextsi128_si256(_mm_cvtsi32_si128((64 * (samples[0] - 128)) & 0xFFFF));
    rows[1] = rows[2] = rows[3] = _mm256_setzero_si256();
  } else {
    TransformPaired(rows, samples);
  }
  // Into zigzag order first, then quantized with the factors in that order.
  const W first = Join(rows[0], rows[1]), second = Join(rows[2], rows[3]);
  std::uint64_t nonzero = 0;
  std::uint16_t magnitude0 = 0;
  for (int h = 0; h < 2; ++h) {
    const W x = _mm512_permutex2var_epi16(first, _mm512_load_si512(Zigzag.index[h]), second);
    const W correction = _mm512_loadu_si512(table->zigzagCorrection + 32 * h);
    const W reciprocal = _mm512_loadu_si512(table->zigzagReciprocal + 32 * h);
    const W scale = _mm512_loadu_si512(table->zigzagScale + 32 * h);
    const W m = _mm512_mulhi_epu16(_mm512_mulhi_epu16(_mm512_add_epi16(_mm512_abs_epi16(x), correction), reciprocal),
                                   scale);
    // Negative values send the one's complement of their magnitude.
    const W b = _mm512_xor_si512(m, _mm512_srai_epi16(x, 15));
    nonzero |= std::uint64_t{_mm512_test_epi16_mask(m, m)} << (32 * h);
    if (h == 0) magnitude0 = static_cast<std::uint16_t>(_mm512_cvtsi512_si32(m));
    // The zeros above each 16-bit magnitude from 32-bit counts: of the low
    // word moved up, and of the whole dword for the high word (moved up in
    // turn). Exact for every non-zero magnitude; a zero one gets 16 or more,
    // and the coder never reads its lane. (Byte shifts, as GCC 12's 32-bit
    // shift trips its own uninitialised-value warning.)
    const W lowZeros = _mm512_lzcnt_epi32(_mm512_bslli_epi128(m, 2));
    const W highZeros = _mm512_bslli_epi128(_mm512_lzcnt_epi32(m), 2);
    const W zeros = _mm512_or_si512(lowZeros, highZeros);  // 16 - category
    const W sixteenAfter = _mm512_load_si512(SixteenAfter.value[h]);
    _mm512_store_si512(out->symbol + 32 * h, _mm512_sub_epi16(sixteenAfter, zeros));
    // Shifting up and down by the zeros keeps the low category bits.
    _mm512_store_si512(out->extra + 32 * h, _mm512_srlv_epi16(_mm512_sllv_epi16(b, zeros), zeros));
  }
  out->nonzero = nonzero;
  const std::int16_t x0 = static_cast<std::int16_t>(_mm256_cvtsi256_si32(rows[0]));
  out->dc = static_cast<std::int16_t>(x0 < 0 ? -magnitude0 : magnitude0);
}

// One block, DC and AC, as PutBlockMagnitudes codes it, from zigzag order:
// each non-zero position k is the lowest bit left in the mask, and its
// symbol, 16 x run + category, is symbol[k] less 16 x the position after
// the last one sent; above 255 the run needs zero-run codes first.
// Magnitudes are below 2048, so the category is 1..11, the low four bits.
template <typename Packer>
DIBJPEG_ALWAYS_INLINE void PutZigzagBlock(Packer& packer, ComponentSpec* component, const ZigzagMagnitudes& m) {
  constexpr unsigned EndOfBlock = 0x00;
  PutDc(packer, component->dcTable, std::int32_t{m.dc} - component->lastDc);
  component->lastDc = m.dc;
  const HuffTable* table = component->acTable;
  std::uint64_t left = m.nonzero & ~std::uint64_t{1};
  std::size_t from16 = 16;  // 16 x the first position of the current run
  while (left != 0) {
    const std::size_t k = LowestBit(left);
    left &= left - 1;
    std::size_t symbol = m.symbol[k] - from16;
    assert((symbol & 15) >= 1 && (symbol & 15) <= 11);
    from16 = 16 * k + 16;
    if (symbol > 0xFF) [[unlikely]] {
      std::size_t run = symbol >> 4;
      PutZeroRuns(packer, table, run);
      symbol = run * 16 + (symbol & 15);
    }
    PutEntry(packer, table->codeWithExtra[symbol], m.extra[k]);
  }
  if ((m.nonzero >> 63) == 0) PutSymbol(packer, table, EndOfBlock, 0);
}

// Each block coded while the next one is transformed, as in the AVX2 coder.
template <bool Emit>
struct TransformAheadZigzag {
  // The block being coded; the one ahead is the other (one pointer, as in
  // the AVX2 coder).
  ZigzagMagnitudes m[2];
  ZigzagMagnitudes* now = &m[0];

  TransformAheadZigzag() = default;
  TransformAheadZigzag(const TransformAheadZigzag&) = delete;  // the pointer points into this object

  DIBJPEG_ALWAYS_INLINE void Start(const ComponentSpec* c, const std::uint8_t* samples) {
    TransformZigzag(now, samples, c->quantTable);
  }
  DIBJPEG_ALWAYS_INLINE void Code(BitPacker<Emit>& packer, ComponentSpec* c, const std::uint8_t*,
                                  const ComponentSpec* next, const std::uint8_t* nextSamples) {
    ZigzagMagnitudes* const ahead = now == &m[0] ? &m[1] : &m[0];
    if (next != nullptr) TransformZigzag(ahead, nextSamples, next->quantTable);
    PutZigzagBlock(packer, c, *now);
    now = ahead;
  }
};

template <bool Emit>
void CodeMcuZigzag(EncoderState* state, BlockWriter* writer, std::uint8_t* out, const std::uint8_t* samples,
                   std::uint32_t count) {
  TransformAheadZigzag<Emit> coder;
  CodeMcus<Emit>(state, writer, out, samples, count, coder);
}

}  // namespace

void CodeMcusAvx512(EncoderState* state, BlockWriter* writer, std::uint8_t* out, const std::uint8_t* samples,
                    std::uint32_t count, bool emit) {
  if (emit) {
    CodeMcuZigzag<true>(state, writer, out, samples, count);
  } else {
    CodeMcuZigzag<false>(state, writer, out, samples, count);
  }
}

}  // namespace dibjpeg
