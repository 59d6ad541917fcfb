// Quantization tables: the base tables scaled by quality, written as the
// stream's single DQT segment and kept as divisors for the quantizer.
#include "jpeg/jpeg.h"

namespace dibjpeg {

// clang-format off
const std::uint8_t QuantBase[2 * QuantRecordSize] = {
    // ITU-T T.81 Table K.1, luminance, natural order
    0x00,
    16,  11,  10,  16,  24,  40,  51,  61,
    12,  12,  14,  19,  26,  58,  60,  55,
    14,  13,  16,  24,  40,  57,  69,  56,
    14,  17,  22,  29,  51,  87,  80,  62,
    18,  22,  37,  56,  68, 109, 103,  77,
    24,  35,  55,  64,  81, 104, 113,  92,
    49,  64,  78,  87, 103, 121, 120, 101,
    72,  92,  95,  98, 112, 100, 103,  99,
    // ITU-T T.81 Table K.2, chrominance, natural order
    0x01,
    17,  18,  24,  47,  99,  99,  99,  99,
    18,  21,  26,  66,  99,  99,  99,  99,
    24,  26,  56,  99,  99,  99,  99,  99,
    47,  66,  99,  99,  99,  99,  99,  99,
    99,  99,  99,  99,  99,  99,  99,  99,
    99,  99,  99,  99,  99,  99,  99,  99,
    99,  99,  99,  99,  99,  99,  99,  99,
    99,  99,  99,  99,  99,  99,  99,  99,
};
// clang-format on

// DQT segment:
//   FF DB       marker
//   00 43/84    length: 2 + 65 x tables (67 gray, 132 colour)
//   00 + 64     table 0 (luminance), values in zigzag order
//   01 + 64     table 1 (chrominance), colour only
int WriteQuantTables(EncoderState* state, QuantTable tables[2]) {
  ByteStream* sink = state->sink;
  const int count = state->componentCount == 1 ? 1 : 2;
  if (!sink->ops.WriteWord(sink, 0xFFDB)) return 0;
  if (!sink->ops.WriteWord(sink, static_cast<std::uint16_t>(2 + QuantRecordSize * count))) return 0;

  for (int t = 0; t < count; ++t) {
    const std::uint8_t* record = QuantBase + t * QuantRecordSize;
    QuantTable* table = &tables[t];
    const std::uint8_t header = record[0];
    table->precision = header >> 4;
    table->tableId = header & 0x0F;
    if (!sink->ops.WriteByte(sink, header)) return 0;

    const int quality = state->quality;
    if (quality > 100 || quality == 0) return 0;
    const int scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
    std::uint8_t values[64];
    for (int j = 0; j < 64; ++j) {
      int v = (record[1 + j] * scale + 50) / 100;
      if (v > 255) v = 255;
      if (v == 0) v = 1;
      values[j] = static_cast<std::uint8_t>(v);
      SetQuantValue(table, j, v);
    }
    for (int k = 0; k < 64; ++k) {
      if (!sink->ops.WriteByte(sink, values[ZigzagOrder[k]])) return 0;
    }
  }

  state->components[0].quantTable = &tables[0];
  QuantTable* chroma = count == 2 ? &tables[1] : nullptr;
  state->components[1].quantTable = chroma;
  state->components[2].quantTable = chroma;
  return 1;
}

}  // namespace dibjpeg
