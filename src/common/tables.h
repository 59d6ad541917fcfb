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
  // Division by the scaled value v without a divide: for n below 2048,
  // n / v = (n x multiplier >> 11) x postShift >> 16, each step a 16-bit high
  // multiply. multiplier = ceil(2^s / v) and postShift = 2^(27 - s) with
  // s = 15 + floor(log2 v), which keeps both below 2^16 and the result exact.
  std::uint16_t multiplier[64];
  std::uint16_t postShift[64];
};

// Stores the scaled value v (1..255) at natural index j, as its divisor and
// the factors that replace dividing by it.
inline void SetQuantValue(QuantTable* table, int j, int v) {
  table->divisor[j] = static_cast<std::uint16_t>(v << 3);  // matches the DCT's output scale
  int log2 = 0;
  while ((v >> (log2 + 1)) != 0) ++log2;
  const int s = 15 + log2;
  table->multiplier[j] = static_cast<std::uint16_t>(((1u << s) + v - 1) / v);
  table->postShift[j] = static_cast<std::uint16_t>(1u << (27 - s));
}

// Code of every symbol of one Huffman table. Symbols the table does not list
// have codeSize 0.
struct HuffTable {
  std::uint8_t tableId;         // 0 luminance, 1 chrominance; written into SOS
  std::uint8_t codeSize[256];   // bits, 1..16
  std::uint16_t code[256];      // right-aligned in its low codeSize bits
  // The block coder's form, one load per symbol. With s = symbol & 15, the
  // category whose s extra bits follow the code (a DC symbol is its category):
  // bits 6..31 hold code << s (at most 26 bits) and bits 0..5 codeSize + s.
  // Unlisted symbols hold s alone, as if their code were empty.
  std::uint32_t codeWithExtra[256];
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

}  // namespace dibjpeg
