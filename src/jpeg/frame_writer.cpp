// The frame writer: one complete baseline JFIF stream per image, in a fixed
// marker order, recording in the status word which stage failed.
//
//   SOI  FF D8
//   APP0 JFIF header (18 bytes)
//   DHT  all Huffman tables        (WriteHuffmanTables)
//   DQT  all quantization tables   (WriteQuantTables)
//   SOF0 frame header
//   SOS  and the entropy-coded data (EncodeScan)
//   EOI  FF D9
#include "common/status.h"
#include "jpeg/jpeg.h"

namespace dibjpeg {
namespace {

// Gives the components their sampling factors from the MCU size; false when
// the geometry is not one the encoder produces.
bool SetSamplingFactors(EncoderState* state) {
  ComponentSpec* c = state->components;
  if (state->componentCount == 1) {
    c[0].hSamp = 1;
    c[0].vSamp = 1;
    return true;
  }
  if (state->componentCount != 3) return false;
  const auto factor = [](std::uint8_t side) -> std::uint8_t { return side == 8 ? 1 : side == 16 ? 2 : 0; };
  c[0].hSamp = factor(state->mcuWidth);
  c[0].vSamp = factor(state->mcuHeight);
  if (c[0].hSamp == 0 || c[0].vSamp == 0) return false;
  for (int k = 1; k < 3; ++k) {
    c[k].hSamp = 1;
    c[k].vSamp = 1;
  }
  return true;
}

}  // namespace

// APP0 segment:
//   FF E0           marker
//   00 10           length 16
//   4A 46 49 46 00  "JFIF\0"
//   01 01           version 1.01
//   00              density units: none (aspect ratio only)
//   00 01 00 01     horizontal and vertical density 1
//   00 00           no thumbnail
int WriteJfifApp0(EncoderState* state) {
  static constexpr std::uint8_t Segment[18] = {0xFF, 0xE0, 0x00, 0x10, 0x4A, 0x46, 0x49, 0x46, 0x00,
                                               0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
  ByteStream* sink = state->sink;
  return sink->ops.WriteBlock(sink, Segment, sizeof Segment);
}

// SOF0 segment:
//   FF C0        marker
//   00 0B/00 11  length: 8 + 3 x components
//   08           sample precision
//   hh hh ww ww  lines, then samples per line
//   01/03        components
//   per component: id (1, 2, 3), hSamp << 4 | vSamp, quantization table id
// Put together here and written in one block.
int WriteFrameHeader(EncoderState* state) {
  ByteStream* sink = state->sink;
  state->frameWidth = static_cast<std::uint16_t>(state->width);
  state->frameHeight = static_cast<std::uint16_t>(state->height);
  const int count = state->componentCount;
  std::uint8_t segment[10 + 3 * 3];  // the colour segment: 19 bytes
  segment[0] = 0xFF;
  segment[1] = 0xC0;
  segment[2] = 0;
  segment[3] = static_cast<std::uint8_t>(8 + 3 * count);
  segment[4] = 8;
  segment[5] = static_cast<std::uint8_t>(state->frameHeight >> 8);
  segment[6] = static_cast<std::uint8_t>(state->frameHeight);
  segment[7] = static_cast<std::uint8_t>(state->frameWidth >> 8);
  segment[8] = static_cast<std::uint8_t>(state->frameWidth);
  segment[9] = static_cast<std::uint8_t>(count);
  for (int k = 0; k < count; ++k) {
    ComponentSpec* c = &state->components[k];
    c->id = static_cast<std::uint8_t>(k + 1);
    segment[10 + 3 * k] = c->id;
    segment[11 + 3 * k] = static_cast<std::uint8_t>(c->hSamp << 4 | c->vSamp);
    segment[12 + 3 * k] = c->quantTable->tableId;
  }
  return sink->ops.WriteBlock(sink, segment, static_cast<std::uint32_t>(10 + 3 * count));
}

int EncodeFrame(EncoderState* state) {
  if (!SetSamplingFactors(state)) return 0;

  // The quantization tables live for this call only; the components point
  // into them (and at the constant Huffman tables).
  QuantTable quantTables[2];
  ByteStream* sink = state->sink;

  if (!sink->ops.WriteWord(sink, 0xFFD8)) return 0;  // SOI
  if (!WriteJfifApp0(state)) return FailWith(StatusApp0Failed);
  if (!WriteHuffmanTables(state)) return FailWith(StatusDhtFailed);
  if (!WriteQuantTables(state, quantTables)) return FailWith(StatusDqtFailed);
  if (!WriteFrameHeader(state)) return FailWith(StatusSofFailed);
  if (!EncodeScan(state)) return FailWith(StatusScanFailed);
  return sink->ops.WriteWord(sink, 0xFFD9);  // EOI
}

}  // namespace dibjpeg
