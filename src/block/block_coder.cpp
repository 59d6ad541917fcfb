// The Huffman block coder: DC difference and AC run/size symbols (ITU-T T.81
// F.1.2), packed straight into the sink's pending byte. Each call collects its
// complete bytes, stuffing included, and appends them to the sink after one
// bound test, or only counts them in measure mode. It never flushes: the scan
// driver does at the end of each restart interval.
#include "block/huffman_coder.h"
#include "setup/cpu_features.h"
#if defined(DIBJPEG_HAVE_AVX2)
#include "block/block_kernels.h"
#endif

namespace dibjpeg {

constexpr ZigzagBitTable MakeZigzagBitTable() {
  int position[64] = {};
  for (int k = 0; k < 64; ++k) position[ZigzagOrder[k]] = k;
  ZigzagBitTable table{};
  for (int b = 0; b < 8; ++b) {
    for (int v = 0; v < 256; ++v) {
      std::uint64_t m = 0;
      for (int i = 0; i < 8; ++i) {
        if (v >> i & 1) m |= std::uint64_t{1} << position[8 * b + i];
      }
      table.bits[b][v] = m;
    }
  }
  return table;
}
constexpr ZigzagBitTable ZigzagBits = MakeZigzagBitTable();

int EncodeDcDiff(EncoderState* state, const HuffTable* dcTable, std::int32_t diff) {
  return (state->mode & 1) ? CodeDc<true>(state, dcTable, diff) : CodeDc<false>(state, dcTable, diff);
}

int EncodeAcCoefficients(EncoderState* state, const HuffTable* acTable, const std::int16_t* coefficients) {
  return (state->mode & 1) ? CodeAc<true>(state, acTable, coefficients)
                           : CodeAc<false>(state, acTable, coefficients);
}

namespace {

// Kept out of line, so that EncodeBlock stays a small dispatcher.
int CodeBlockPortable(EncoderState* state, const ComponentSpec* component, std::int32_t diff,
                      const std::int16_t* coefficients, bool emit) {
  return emit ? CodeBlock<true>(state, component, diff, coefficients)
              : CodeBlock<false>(state, component, diff, coefficients);
}

}  // namespace

int EncodeBlock(EncoderState* state, ComponentSpec* component, const std::int16_t* coefficients) {
  const std::int16_t previous = component->lastDc;
  component->lastDc = coefficients[0];
  const std::int32_t diff = std::int32_t{coefficients[0]} - previous;
  const ByteStream* sink = state->sink;
  const bool emit = (state->mode & 1) != 0;
  if (!emit || (sink->pos <= sink->size && sink->size - sink->pos >= 2 * StagingSize)) {
#if defined(DIBJPEG_HAVE_AVX2)
    if (CpuHasAvx2()) return CodeBlockAvx2(state, component, diff, coefficients, emit);
#endif
    return CodeBlockPortable(state, component, diff, coefficients, emit);
  }
  // Near the end of the buffer the DC and AC parts each pass the bound test
  // on their own, so a block that does not fit keeps its DC part.
  if (!EncodeDcDiff(state, component->dcTable, diff)) return 0;
  return EncodeAcCoefficients(state, component->acTable, coefficients);
}

}  // namespace dibjpeg
