// Quantization tables: the base tables scaled by quality, written as the
// stream's single DQT segment and kept as divisors for the quantizer.
#include <array>

#include "jpeg/jpeg.h"

namespace dibjpeg {

// clang-format off
constexpr std::uint8_t QuantBase[2 * QuantRecordSize] = {
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

namespace {

// The value at one position of a base table, scaled by quality (1..100).
constexpr std::uint8_t ScaledValue(int base, int quality) {
  const int scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
  const int v = (base * scale + 50) / 100;
  return static_cast<std::uint8_t>(v > 255 ? 255 : v == 0 ? 1 : v);
}

// The two DQT records of every quality, entry quality - 1: QuantBase's
// records with their values scaled and in zigzag order, as the segment
// carries them.
constexpr auto ScaledRecords = [] {
  std::array<std::array<std::uint8_t, 2 * QuantRecordSize>, 100> records{};
  for (int q = 1; q <= 100; ++q) {
    for (int t = 0; t < 2; ++t) {
      const std::uint8_t* base = QuantBase + t * QuantRecordSize;
      std::uint8_t* record = records[q - 1].data() + t * QuantRecordSize;
      record[0] = base[0];
      for (int k = 0; k < 64; ++k) record[1 + k] = ScaledValue(base[1 + ZigzagOrder[k]], q);
    }
  }
  return records;
}();

// The divisor of every scaled value v (1..255) and the factors that replace
// dividing by it, as SetQuantValue sets them; entry 0 is unused.
struct QuantEntry {
  std::uint16_t divisor, correction, reciprocal, scale;
};

constexpr auto QuantEntries = [] {
  std::array<QuantEntry, 256> entries{};
  for (int v = 1; v < 256; ++v) {
    QuantTable t{};
    SetQuantValue(&t, 0, v);
    entries[v] = {t.divisor[0], t.correction[0], t.reciprocal[0], t.scale[0]};
  }
  return entries;
}();

// The segment's start: marker, length, and table 0's header byte.
constexpr std::uint8_t DqtStartGray[5] = {0xFF, 0xDB, 0x00, 0x43, 0x00};
constexpr std::uint8_t DqtStartColour[5] = {0xFF, 0xDB, 0x00, 0x84, 0x00};

}  // namespace

// DQT segment:
//   FF DB       marker
//   00 43/84    length: 2 + 65 x tables (67 gray, 132 colour)
//   00 + 64     table 0 (luminance), values in zigzag order
//   01 + 64     table 1 (chrominance), colour only
// The records come scaled from ScaledRecords; each table takes their values
// back into natural order, with the factors for each value looked up.
int WriteQuantTables(EncoderState* state, QuantTable tables[2]) {
  ByteStream* sink = state->sink;
  const int count = state->componentCount == 1 ? 1 : 2;
  const std::uint8_t* start = count == 1 ? DqtStartGray : DqtStartColour;
  const int quality = state->quality;
  if (quality > 100 || quality == 0) {
    // No scaling exists: fail after the bytes that come before the values.
    sink->ops.WriteBlock(sink, start, sizeof DqtStartGray);
    return 0;
  }
  const std::uint8_t* records = ScaledRecords[quality - 1].data();
  for (int t = 0; t < count; ++t) {
    const std::uint8_t* record = records + t * QuantRecordSize;
    QuantTable* table = &tables[t];
    table->precision = record[0] >> 4;
    table->tableId = record[0] & 0x0F;
    for (int k = 0; k < 64; ++k) {
      const int j = ZigzagOrder[k];
      const QuantEntry& e = QuantEntries[record[1 + k]];
      const int at = ZigzagTransformOrder.at[k];
      table->divisor[j] = e.divisor;
      table->correction[at] = e.correction;
      table->reciprocal[at] = e.reciprocal;
      table->scale[at] = e.scale;
      table->zigzagCorrection[k] = e.correction;
      table->zigzagReciprocal[k] = e.reciprocal;
      table->zigzagScale[k] = e.scale;
    }
  }
  if (!sink->ops.WriteBlock(sink, start, 4)) return 0;
  if (!sink->ops.WriteBlock(sink, records, static_cast<std::uint32_t>(QuantRecordSize * count))) return 0;

  state->components[0].quantTable = &tables[0];
  QuantTable* chroma = count == 2 ? &tables[1] : nullptr;
  state->components[1].quantTable = chroma;
  state->components[2].quantTable = chroma;
  return 1;
}

}  // namespace dibjpeg
