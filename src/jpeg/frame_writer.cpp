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
  static constexpr std::uint8_t Body[14] = {0x4A, 0x46, 0x49, 0x46, 0x00, 0x01, 0x01,
                                            0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
  ByteStream* sink = state->sink;
  if (!sink->ops.WriteWord(sink, 0xFFE0)) return 0;
  if (!sink->ops.WriteWord(sink, 16)) return 0;
  for (std::uint8_t byte : Body) {
    if (!sink->ops.WriteByte(sink, byte)) return 0;
  }
  return 1;
}

// SOF0 segment:
//   FF C0        marker
//   00 0B/00 11  length: 8 + 3 x components
//   08           sample precision
//   hh hh ww ww  lines, then samples per line
//   01/03        components
//   per component: id (1, 2, 3), hSamp << 4 | vSamp, quantization table id
int WriteFrameHeader(EncoderState* state) {
  ByteStream* sink = state->sink;
  state->frameWidth = static_cast<std::uint16_t>(state->width);
  state->frameHeight = static_cast<std::uint16_t>(state->height);
  const int count = state->componentCount;
  if (!sink->ops.WriteWord(sink, 0xFFC0)) return 0;
  if (!sink->ops.WriteWord(sink, static_cast<std::uint16_t>(8 + 3 * count))) return 0;
  if (!sink->ops.WriteByte(sink, 8)) return 0;
  if (!sink->ops.WriteWord(sink, state->frameHeight)) return 0;
  if (!sink->ops.WriteWord(sink, state->frameWidth)) return 0;
  if (!sink->ops.WriteByte(sink, static_cast<std::uint8_t>(count))) return 0;
  for (int k = 0; k < count; ++k) {
    ComponentSpec* c = &state->components[k];
    c->id = static_cast<std::uint8_t>(k + 1);
    if (!sink->ops.WriteByte(sink, c->id)) return 0;
    if (!sink->ops.WriteByte(sink, static_cast<std::uint8_t>(c->hSamp << 4 | c->vSamp))) return 0;
    if (!sink->ops.WriteByte(sink, c->quantTable->tableId)) return 0;
  }
  return 1;
}

int EncodeFrame(EncoderState* state) {
  if (!SetSamplingFactors(state)) return 0;

  // The tables live for this call only; the components point into them.
  QuantTable quantTables[2];
  HuffTable huffTables[4];
  ByteStream* sink = state->sink;

  if (!sink->ops.WriteWord(sink, 0xFFD8)) return 0;  // SOI
  if (!WriteJfifApp0(state)) return FailWith(StatusApp0Failed);
  if (!WriteHuffmanTables(state, huffTables)) return FailWith(StatusDhtFailed);
  if (!WriteQuantTables(state, quantTables)) return FailWith(StatusDqtFailed);
  if (!WriteFrameHeader(state)) return FailWith(StatusSofFailed);
  if (!EncodeScan(state)) return FailWith(StatusScanFailed);
  return sink->ops.WriteWord(sink, 0xFFD9);  // EOI
}

}  // namespace dibjpeg
