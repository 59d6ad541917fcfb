// Table records shared by the frame writer, the scan driver and the block
// coder: the scaled quantization divisors and the per-symbol Huffman codes.
#pragma once

#include <cstdint>

namespace dibjpeg {

// One quantization table, scaled by quality.
struct QuantTable {
  std::uint8_t precision;         // 0: 8-bit values
  std::uint8_t tableId;           // 0 luminance, 1 chrominance; written into SOF0
  std::uint16_t divisor[64];      // natural order: scaled value (1..255) x 8, so 8..2040
  // Quantization without a divide, for the AVX2 quantizer: with d = divisor,
  // the magnitude of round(x / d) (halves away from zero) is
  //   ((|x| + correction) x reciprocal >> 16) x scale >> 16,
  // each step a 16-bit high multiply; see SetQuantValue for why it is exact.
  // These three are in the order the AVX2 transform leaves its outputs
  // (TransformPosition), so that they apply to the outputs as they come.
  std::uint16_t correction[64];   // d / 2, plus 1 when the reciprocal is rounded down
  std::uint16_t reciprocal[64];   // 2^(15 + s) / d rounded up or down, 2^15..2^16 - 1
  std::uint16_t scale[64];        // 2^(17 - s): a right shift by s - 1 as a high multiply
  // The same three in zigzag order, for the AVX-512 coder, which moves the
  // transform's outputs into zigzag order before it quantizes them.
  std::uint16_t zigzagCorrection[64];
  std::uint16_t zigzagReciprocal[64];
  std::uint16_t zigzagScale[64];
};

// Entry k is the natural index (row x 8 + column) of the k-th coefficient in
// zigzag order (ITU-T T.81 Figure A.6).
// clang-format off
inline constexpr std::int32_t ZigzagOrder[64] = {
     0,  1,  8, 16,  9,  2,  3, 10,
    17, 24, 32, 25, 18, 11,  4,  5,
    12, 19, 26, 33, 40, 48, 41, 34,
    27, 20, 13,  6,  7, 14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36,
    29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46,
    53, 60, 61, 54, 47, 55, 62, 63,
};
// clang-format on

// Where natural index n (row x 8 + column) comes in zigzag order.
constexpr int ZigzagPosition(int n) {
  int k = 0;
  while (ZigzagOrder[k] != n) ++k;
  return k;
}

// Stores the scaled value v (1..255) at natural index j, as its divisor and
// the factors that replace dividing by it.
//
// Why the factors are exact for every numerator n = |x| + d / 2 below 2^16
// (all 16-bit x): let s = bit width of d - 1 (so d <= 2^s < 2d) and k = 15 + s,
// which keeps 2^k / d within [2^15, 2^16). Rounding 2^k / d up gives
// m = (2^k + e) / d, and floor(n m / 2^k) = floor(n / d) whenever n e < 2^k.
// Rounding it down gives m = (2^k - f) / d, and floor((n + 1) m / 2^k) =
// floor(n / d) whenever (n + 1) f <= 2^k. Since e + f = d, the smaller of the
// two is at most d / 2 < 2^(s - 1), so with n + 1 <= 2^16 the condition holds
// for that choice; the + 1 of the rounded-down case goes into the correction.
// The shift by k is a high multiply (>> 16) and then one by s - 1 <= 10.
// Where the AVX2 transform leaves coefficient n (natural order, row x 8 +
// column) among its 64 outputs, 16 to a register: rows 0 and 4 in the
// first, as four of row 0 and four of row 4 for columns 0-3 and again for
// 4-7; then rows 1 and 5, 2 and 3, 6 and 7, each pair column by column in
// turns, columns 0-3 in the first eight outputs and 4-7 in the next.
constexpr int TransformPosition(int n) {
  const int row = n >> 3, column = n & 7;
  const int half = 8 * (column >> 2), j = column & 3;
  if (row == 0 || row == 4) return half + (row == 4 ? 4 : 0) + j;
  const int g = row == 1 || row == 5 ? 1 : row <= 3 ? 2 : 3;
  const bool second = row == 5 || row == 3 || row == 7;
  return 16 * g + half + 2 * j + (second ? 1 : 0);
}

constexpr void SetQuantValue(QuantTable* table, int j, int v) {
  const std::uint32_t d = static_cast<std::uint32_t>(v) << 3;  // matches the DCT's output scale
  table->divisor[j] = static_cast<std::uint16_t>(d);
  int s = 0;
  while (((d - 1) >> s) != 0) ++s;
  const std::uint32_t power = 1u << (15 + s);
  const std::uint32_t down = power / d;
  const std::uint32_t f = power - down * d;  // rounding down falls short by f / d
  const bool roundUp = f != 0 && d - f < f;  // rounding up overshoots by (d - f) / d
  const int at = TransformPosition(j);
  table->reciprocal[at] = static_cast<std::uint16_t>(roundUp ? down + 1 : down);
  table->correction[at] = static_cast<std::uint16_t>(d / 2 + (roundUp || f == 0 ? 0 : 1));
  table->scale[at] = static_cast<std::uint16_t>(1u << (17 - s));
  const int k = ZigzagPosition(j);
  table->zigzagReciprocal[k] = table->reciprocal[at];
  table->zigzagCorrection[k] = table->correction[at];
  table->zigzagScale[k] = table->scale[at];
}

// A code with room for its extra bits after it, as the block coder sends it:
// two loads and no bit fields to split.
struct CodeWithExtra {
  std::uint32_t bits;  // the code shifted past its extra bits (at most 26 bits)
  std::uint32_t size;  // code length plus extra bits
};

// Code of every symbol of one Huffman table. Symbols the table does not list
// have codeSize 0.
struct HuffTable {
  // The block coder's form, first so that an entry's address is the table's
  // plus 8 x symbol. With s = symbol & 15, the category whose s extra bits
  // follow the code (a DC symbol is its category): code << s and
  // codeSize + s. Unlisted symbols have size s and no bits, as if their code
  // were empty.
  CodeWithExtra codeWithExtra[256];
  std::uint8_t tableId;         // 0 luminance, 1 chrominance; written into SOS
  std::uint8_t codeSize[256];   // bits, 1..16
  std::uint16_t code[256];      // right-aligned in its low codeSize bits
};

// Entry k is TransformPosition of the k-th coefficient in zigzag order.
inline constexpr auto ZigzagTransformOrder = [] {
  struct Order {
    std::int32_t at[64];
  } order{};
  for (int k = 0; k < 64; ++k) order.at[k] = TransformPosition(ZigzagOrder[k]);
  return order;
}();

}  // namespace dibjpeg
