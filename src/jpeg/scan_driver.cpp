// The scan driver: the SOS segment, then every MCU in raster order from the
// top-left, each block through the DCT, the quantizer and the block coder.
// Each restart interval starts with cleared DC predictors and a cleared bit
// accumulator and ends with FlushBits, so every interval is byte-aligned.
#include "block/block.h"
#include "jpeg/jpeg.h"

namespace dibjpeg {
namespace {

// DRI segment, written only when the state asks for restart intervals:
//   FF DD  marker
//   00 04  length
//   rr rr  MCUs per interval
int WriteRestartInterval(EncoderState* state) {
  ByteStream* sink = state->sink;
  return sink->ops.WriteWord(sink, 0xFFDD) && sink->ops.WriteWord(sink, 4) &&
         sink->ops.WriteWord(sink, state->restartInterval);
}

// SOS segment:
//   FF DA        marker
//   00 08/00 0C  length: 6 + 2 x components
//   01/03        components in the scan
//   per component: id, DC table id << 4 | AC table id
//   00 3F 00     spectral selection 0..63, no successive approximation
// Put together here and written in one block.
int WriteScanHeader(EncoderState* state) {
  ByteStream* sink = state->sink;
  const int count = state->componentCount;
  std::uint8_t segment[8 + 2 * 3];  // the colour segment: 14 bytes
  segment[0] = 0xFF;
  segment[1] = 0xDA;
  segment[2] = 0;
  segment[3] = static_cast<std::uint8_t>(6 + 2 * count);
  segment[4] = static_cast<std::uint8_t>(count);
  for (int k = 0; k < count; ++k) {
    const ComponentSpec* c = &state->components[k];
    segment[5 + 2 * k] = c->id;
    segment[6 + 2 * k] = static_cast<std::uint8_t>(c->dcTable->tableId << 4 | c->acTable->tableId);
  }
  std::uint8_t* end = segment + 5 + 2 * count;
  end[0] = 0;
  end[1] = 63;
  end[2] = 0;
  return sink->ops.WriteBlock(sink, segment, static_cast<std::uint32_t>(8 + 2 * count));
}

}  // namespace

int EncodeRestartInterval(EncoderState* state) {
  for (ComponentSpec& c : state->components) c.lastDc = 0;
  state->sink->bitAcc = 0;  // the bit writer ORs bits in; stale bits would merge

  const std::uint32_t length = state->restartInterval != 0 ? state->restartInterval : state->mcuTotal;
  // This interval's MCUs: `length` of them, or as many as are left.
  const std::uint32_t left = state->mcusDone < state->mcuTotal ? state->mcuTotal - state->mcusDone : 0;
  const std::uint32_t end = state->mcusDone + (left < length ? left : length);
  // Room for 32 blocks: 32 gray MCUs, 10 at 4:4:4, 8 at 4:2:2, 5 at 4:2:0.
  // Aligned, so that no block and no 64-byte store of the kernels straddles
  // two cache lines.
  alignas(64) std::uint8_t mcuBuffer[32 * 64];
  // The library's own block coder takes MCUs a batch at a time and keeps its
  // bits in one writer across them; any other block coder gets each block.
  if (state->encodeBlock == EncodeBlock) {
    const bool emit = (state->mode & 1) != 0;
    const std::uint32_t mcuBytes = 64 * BlocksPerMcu(state);
    const std::uint32_t batch = sizeof mcuBuffer / mcuBytes;
    BlockWriter writer;
    OpenBlockWriter(&writer, state->sink);
    while (state->mcusDone < end) {
      // A batch is read ahead of coding only where the coder cannot fail on
      // it, so the MCUs are read and the failures come exactly as they
      // would MCU by MCU.
      const std::uint32_t room = McusWithRoom(state, &writer);
      std::uint32_t n = end - state->mcusDone;
      if (n > batch) n = batch;
      if (n > room) n = room > 0 ? room : 1;
      std::uint32_t read = 0;
      for (; read < n; ++read, ++state->mcusDone) {
        if (!state->fetchMcu(state, mcuBuffer + read * mcuBytes)) break;
      }
      if (read > 0 && !EncodeMcus(state, &writer, mcuBuffer, read)) return 0;
      if (read < n) {
        // The MCUs coded so far stay in the sink, as block by block.
        CloseBlockWriter(&writer, state->sink, emit);
        return 0;
      }
    }
    CloseBlockWriter(&writer, state->sink, emit);
  } else {
    for (; state->mcusDone < end; ++state->mcusDone) {
      if (!state->fetchMcu(state, mcuBuffer)) return 0;
      if (!EncodeMcuBlocks(state, mcuBuffer, state->encodeBlock)) return 0;
    }
  }
  // The last interval may be short; it is flushed like every other so the
  // final byte is padded with 1-bits before EOI.
  return state->sink->ops.FlushBits(state->sink);
}

int EncodeScan(EncoderState* state) {
  if (state->restartInterval != 0 && !WriteRestartInterval(state)) return 0;
  if (!WriteScanHeader(state)) return 0;

  state->mcusDone = 0;
  state->readerCursor.placed = false;
  state->frameWidth = static_cast<std::uint16_t>(state->width);
  state->frameHeight = static_cast<std::uint16_t>(state->height);
  state->mcusPerRow = static_cast<std::uint16_t>((state->frameWidth + state->mcuWidth - 1) / state->mcuWidth);
  state->mcuTotal =
      static_cast<std::uint32_t>((state->frameHeight + state->mcuHeight - 1) / state->mcuHeight) * state->mcusPerRow;

  if (!EncodeRestartInterval(state)) return 0;
  for (int n = 0; state->mcusDone < state->mcuTotal; n = (n + 1) % 8) {
    ByteStream* sink = state->sink;
    if (!sink->ops.WriteWord(sink, static_cast<std::uint16_t>(0xFFD0 + n))) return 0;  // RSTn
    if (!EncodeRestartInterval(state)) return 0;
  }
  return 1;
}

}  // namespace dibjpeg
