// The block coder compiled for processors with AVX2, BMI1, BMI2 and LZCNT: the
// same code as the portable coder, with single-instruction variable shifts
// and bit counts.
#include "block/block_kernels.h"
#include "block/forward_dct_avx2.h"
#include "block/huffman_coder.h"

namespace dibjpeg {

int CodeBlockAvx2(ByteStream* sink, const ComponentSpec* component, std::int32_t diff,
                  const std::int16_t* coefficients, bool emit) {
  return emit ? CodeBlock<true>(sink, component, diff, coefficients)
              : CodeBlock<false>(sink, component, diff, coefficients);
}

namespace {

// Each block is coded while the next one is transformed: the coder then
// reads magnitudes stored a whole block earlier, not ones whose stores may
// still be on their way to the cache, and the processor can overlap the
// transform's vector work with the coder's scalar work.
// The block being coded is reached through a pointer, so the coder's loads
// need no index for which one it reads; the one ahead is the other. (One
// pointer rather than a pair that swaps: GCC kept the pair as one vector in
// memory, so that every block's loads waited for a vector store to be
// forwarded.)
template <bool Emit>
struct TransformAhead {
  BlockMagnitudes m[2];
  BlockMagnitudes* now = &m[0];

  TransformAhead() = default;
  TransformAhead(const TransformAhead&) = delete;  // the pointer points into this object

  DIBJPEG_ALWAYS_INLINE void Start(const ComponentSpec* c, const std::uint8_t* samples) {
    TransformMagnitudes(now, samples, c->quantTable);
  }
  DIBJPEG_ALWAYS_INLINE void Code(BitPacker<Emit>& packer, ComponentSpec* c, const std::uint8_t*,
                                  const ComponentSpec* next, const std::uint8_t* nextSamples) {
    BlockMagnitudes* const ahead = now == &m[0] ? &m[1] : &m[0];
    if (next != nullptr) TransformMagnitudes(ahead, nextSamples, next->quantTable);
    PutBlockMagnitudes(packer, c, *now);
    now = ahead;
  }
};

template <bool Emit>
void CodeMcuMagnitudes(EncoderState* state, BlockWriter* writer, std::uint8_t* out, const std::uint8_t* samples,
                       std::uint32_t count) {
  TransformAhead<Emit> coder;
  CodeMcus<Emit>(state, writer, out, samples, count, coder);
}

}  // namespace

void CodeMcusAvx2(EncoderState* state, BlockWriter* writer, std::uint8_t* out, const std::uint8_t* samples,
                  std::uint32_t count, bool emit) {
  if (emit) {
    CodeMcuMagnitudes<true>(state, writer, out, samples, count);
  } else {
    CodeMcuMagnitudes<false>(state, writer, out, samples, count);
  }
}

}  // namespace dibjpeg
