// The Huffman block coder: DC difference and AC run/size symbols (ITU-T T.81
// F.1.2), packed after the sink's pending byte. Each call collects its
// complete bytes, stuffing included, and appends them to the sink after one
// bound test, or only counts them in measure mode. It never flushes: the scan
// driver does at the end of each restart interval.
#include "block/huffman_coder.h"
#include "common/cpu_features.h"
#if defined(DIBJPEG_HAVE_AVX2)
#include "block/block_kernels.h"
#endif

namespace dibjpeg {

constexpr ZigzagBitTable MakeZigzagBitTable() {
  ZigzagBitTable table{};
  for (int b = 0; b < 8; ++b) {
    for (int v = 0; v < 256; ++v) {
      std::uint64_t m = 0;
      for (int i = 0; i < 8; ++i) {
        if (v >> i & 1) m |= std::uint64_t{1} << ZigzagPosition(8 * b + i);
      }
      table.bits[b][v] = m;
    }
  }
  return table;
}
constexpr ZigzagBitTable ZigzagBits = MakeZigzagBitTable();

namespace {

// The most one block can produce through a packer, for any coefficients:
// a DC code and 63 AC codes of up to 16 bits, each with up to 16 extra
// bits, three ZRL codes and an EOB code; 2112 bits, every byte stuffed.
constexpr std::uint32_t MaxBlockBytes = 2 * (2112 / 8);
// The writer's pending bits as bytes, at most.
constexpr std::uint32_t MaxPendingBytes = 16;
// The most one MCU can produce, whatever its sampling (at most six blocks),
// with the writer's pending bits.
constexpr std::uint32_t MaxMcuBytes = 6 * MaxBlockBytes + MaxPendingBytes;

// Room left before the end of the buffer (encode mode) or before the most a
// measure may count.
std::uint32_t RoomLeft(const ByteStream* sink, bool emit, std::uint32_t pos) {
  const std::uint32_t limit = emit ? sink->size : CountLimit;
  return pos <= limit ? limit - pos : 0;
}

// Kept out of line, so that EncodeBlock stays a small dispatcher.
int CodeBlockPortable(ByteStream* sink, const ComponentSpec* component, std::int32_t diff,
                      const std::int16_t* coefficients, bool emit) {
  return emit ? CodeBlock<true>(sink, component, diff, coefficients)
              : CodeBlock<false>(sink, component, diff, coefficients);
}

// One block transformed and coded at a time.
template <bool Emit>
struct TransformAndCode {
  void Start(const ComponentSpec*, const std::uint8_t*) {}
  DIBJPEG_ALWAYS_INLINE void Code(BitPacker<Emit>& packer, ComponentSpec* c, const std::uint8_t* samples,
                                  const ComponentSpec*, const std::uint8_t*) {
    std::int16_t coefficients[64];
    TransformBlock(coefficients, samples, c->quantTable);
    PutDc(packer, c->dcTable, std::int32_t{coefficients[0]} - c->lastDc);
    c->lastDc = coefficients[0];
    PutAc(packer, c->acTable, coefficients);
  }
};

template <bool Emit>
void CodeMcusPortable(EncoderState* state, BlockWriter* writer, std::uint8_t* out, const std::uint8_t* samples,
                      std::uint32_t count) {
  TransformAndCode<Emit> coder;
  CodeMcus<Emit>(state, writer, out, samples, count, coder);
}

// Out of line, so that EncodeMcus stays a small dispatcher.
DIBJPEG_NOINLINE void CodeMcusPortable(EncoderState* state, BlockWriter* writer, std::uint8_t* out,
                                        const std::uint8_t* samples, std::uint32_t count, bool emit) {
  if (emit) {
    CodeMcusPortable<true>(state, writer, out, samples, count);
  } else {
    CodeMcusPortable<false>(state, writer, out, samples, count);
  }
}

// The instruction set's MCU coder; encode mode writes from `out` on, where
// room is proven.
void CodeMcus(EncoderState* state, BlockWriter* writer, std::uint8_t* out, const std::uint8_t* samples,
              std::uint32_t count, bool emit) {
#if defined(DIBJPEG_HAVE_AVX512)
  if (CpuHasAvx512()) return CodeMcusAvx512(state, writer, out, samples, count, emit);
#endif
#if defined(DIBJPEG_HAVE_AVX2)
  if (CpuHasAvx2()) return CodeMcusAvx2(state, writer, out, samples, count, emit);
#endif
  CodeMcusPortable(state, writer, out, samples, count, emit);
}

// Near the end of the buffer in encode mode: one MCU coded into a staging
// area, with the whole bytes its writer holds afterwards, as block by block
// they would reach the sink. They are copied to the sink only if they all
// fit; otherwise nothing has changed and the result is false.
DIBJPEG_NOINLINE bool CodeMcuStaged(EncoderState* state, BlockWriter* writer, const std::uint8_t* samples) {
  std::uint8_t staging[MaxMcuBytes];
  const BlockWriter before = *writer;
  std::int16_t lastDc[3];
  for (int k = 0; k < 3; ++k) lastDc[k] = state->components[k].lastDc;
  CodeMcus(state, writer, staging, samples, 1, true);
  BitPacker<true> packer(writer->acc, writer->pending, staging + (writer->pos - before.pos), 0);
  const unsigned bits = packer.WholeBytes();
  const std::uint32_t n = static_cast<std::uint32_t>(packer.out() - staging);
  assert(n <= sizeof staging);
  if (RoomLeft(state->sink, true, before.pos) < n) {
    *writer = before;
    for (int k = 0; k < 3; ++k) state->components[k].lastDc = lastDc[k];
    return false;
  }
  std::memcpy(state->sink->data + before.pos, staging, n);
  writer->acc = packer.acc();
  writer->pending = bits;
  writer->pos = before.pos + n;
  return true;
}

// Near the end of the buffer (or of what measure mode may count): block by
// block through EncodeBlock, each part passing its own bound test.
DIBJPEG_NOINLINE int EncodeMcuByBlocks(EncoderState* state, BlockWriter* writer, const std::uint8_t* samples,
                                        bool emit) {
  CloseBlockWriter(writer, state->sink, emit);
  if (!EncodeMcuBlocks(state, samples, EncodeBlock)) return 0;
  OpenBlockWriter(writer, state->sink);
  return 1;
}

// Writes the writer's whole bytes into the sink (encode mode) or counts them
// (measure mode), and leaves the rest as the sink's pending byte.
template <bool Emit>
void CloseWriter(const BlockWriter* writer, ByteStream* sink) {
  BitPacker<Emit> packer(writer->acc, writer->pending, Emit ? sink->data + writer->pos : nullptr, writer->pos);
  const unsigned bits = packer.WholeBytes();
  if constexpr (Emit) {
    sink->pos = static_cast<std::uint32_t>(packer.out() - sink->data);
  } else {
    sink->pos = packer.counted();
    if (sink->pos > sink->size) sink->size = sink->pos;
  }
  sink->bitAcc = packer.PendingByteValue(bits);
  sink->bitCount = bits;
}

}  // namespace

int EncodeDcDiff(EncoderState* state, const HuffTable* dcTable, std::int32_t diff) {
  return (state->mode & 1) ? CodeDc<true>(state->sink, dcTable, diff) : CodeDc<false>(state->sink, dcTable, diff);
}

int EncodeAcCoefficients(EncoderState* state, const HuffTable* acTable, const std::int16_t* coefficients) {
  return (state->mode & 1) ? CodeAc<true>(state->sink, acTable, coefficients)
                           : CodeAc<false>(state->sink, acTable, coefficients);
}

int EncodeBlock(EncoderState* state, ComponentSpec* component, const std::int16_t* coefficients) {
  const std::int16_t previous = component->lastDc;
  component->lastDc = coefficients[0];
  const std::int32_t diff = std::int32_t{coefficients[0]} - previous;
  ByteStream* sink = state->sink;
  const bool emit = (state->mode & 1) != 0;
  if (RoomLeft(sink, emit, sink->pos) >= 2 * StagingSize) {
#if defined(DIBJPEG_HAVE_AVX2)
    if (CpuHasAvx2()) return CodeBlockAvx2(sink, component, diff, coefficients, emit);
#endif
    return CodeBlockPortable(sink, component, diff, coefficients, emit);
  }
  // Near the end of the buffer the DC and AC parts each pass the bound test
  // on their own, so a block that does not fit keeps its DC part.
  if (!EncodeDcDiff(state, component->dcTable, diff)) return 0;
  return EncodeAcCoefficients(state, component->acTable, coefficients);
}

void OpenBlockWriter(BlockWriter* writer, const ByteStream* sink) {
  const PendingByte p = PendingOf(sink);
  assert(p.stale == 0);
  writer->acc = p.acc;
  writer->pending = p.bits;
  writer->pos = sink->pos;
}

void CloseBlockWriter(BlockWriter* writer, ByteStream* sink, bool emit) {
  if (emit) {
    CloseWriter<true>(writer, sink);
  } else {
    CloseWriter<false>(writer, sink);
  }
  OpenBlockWriter(writer, sink);
}

int EncodeMcuBlocks(EncoderState* state, const std::uint8_t* samples, EncodeBlockFn encodeBlock) {
  const std::uint8_t* block = samples;
  for (int k = 0; k < state->componentCount; ++k) {
    ComponentSpec* c = &state->components[k];
    for (int n = c->vSamp * c->hSamp; n > 0; --n, block += 64) {
      std::int16_t coefficients[64];
      TransformBlock(coefficients, block, c->quantTable);
      if (!encodeBlock(state, c, coefficients)) return 0;
    }
  }
  return 1;
}

std::uint32_t BlocksPerMcu(const EncoderState* state) {
  std::uint32_t blocks = 0;
  for (int k = 0; k < state->componentCount; ++k) blocks += state->components[k].vSamp * state->components[k].hSamp;
  return blocks;
}

std::uint32_t McusWithRoom(const EncoderState* state, const BlockWriter* writer) {
  const std::uint32_t room = RoomLeft(state->sink, (state->mode & 1) != 0, writer->pos);
  return room < MaxPendingBytes ? 0 : (room - MaxPendingBytes) / (BlocksPerMcu(state) * MaxBlockBytes);
}

int EncodeMcus(EncoderState* state, BlockWriter* writer, const std::uint8_t* samples, std::uint32_t count) {
  const bool emit = (state->mode & 1) != 0;
  ByteStream* sink = state->sink;
  if (count <= McusWithRoom(state, writer)) {
    CodeMcus(state, writer, emit ? sink->data + writer->pos : nullptr, samples, count, emit);
    return 1;
  }
  // Near the end: MCU by MCU; where even one may not fit, staged in encode
  // mode, and block by block when the staged MCU does not fit either.
  const std::uint32_t mcuBytes = 64 * BlocksPerMcu(state);
  for (; count > 0; --count, samples += mcuBytes) {
    if (McusWithRoom(state, writer) > 0) {
      CodeMcus(state, writer, emit ? sink->data + writer->pos : nullptr, samples, 1, emit);
    } else if (!(emit && CodeMcuStaged(state, writer, samples)) && !EncodeMcuByBlocks(state, writer, samples, emit)) {
      return 0;
    }
  }
  return 1;
}

}  // namespace dibjpeg
