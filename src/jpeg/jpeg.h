// The JPEG stream structure: the frame writer, the table writers and the scan
// driver. Everything here writes through the sink's operation table, so the
// same code serves encode mode and measure mode.
#pragma once

#include <cstdint>

#include "common/encoder_state.h"
#include "common/tables.h"

namespace dibjpeg {

// Writes the whole stream: SOI, APP0, DHT, DQT, SOF0, SOS and data, EOI.
int EncodeFrame(EncoderState* state);
int WriteJfifApp0(EncoderState* state);
int WriteFrameHeader(EncoderState* state);

// DQT from QuantBase scaled by state->quality; fills one (gray) or two tables
// and points the components at them.
int WriteQuantTables(EncoderState* state, QuantTable tables[2]);
// DHT from HuffmanSpec; points the components at two (gray) or four of
// StandardHuffTables.
int WriteHuffmanTables(EncoderState* state);

// SOS and the entropy-coded data of the single scan.
int EncodeScan(EncoderState* state);
int EncodeRestartInterval(EncoderState* state);

// Two records of 65 bytes: header byte (precision << 4 | id), then 64 values
// in natural order.
inline constexpr int QuantRecordSize = 65;
extern const std::uint8_t QuantBase[2 * QuantRecordSize];

// Four records: class/id byte, 16 BITS counts, then the symbols.
inline constexpr int HuffmanSpecSize = 416;
extern const std::uint8_t HuffmanSpec[HuffmanSpecSize];

// The codes of the four HuffmanSpec records, in their order: DC and AC
// luminance, DC and AC chrominance. Computed at compile time.
extern const HuffTable StandardHuffTables[4];

}  // namespace dibjpeg
