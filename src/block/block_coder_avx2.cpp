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

// One block transformed and coded; a lambda here would not always be inlined.
template <bool Emit>
struct TransformAndCode {
  DIBJPEG_ALWAYS_INLINE void operator()(BitPacker<Emit>& packer, ComponentSpec* c, const std::uint8_t* block) const {
    BlockMagnitudes m;
    TransformMagnitudes(&m, block, c->quantTable);
    PutBlockMagnitudes(packer, c, m);
  }
};

template <bool Emit>
void CodeMcuMagnitudes(EncoderState* state, BlockWriter* writer, const std::uint8_t* samples, std::uint32_t count) {
  CodeMcus<Emit>(state, writer, samples, count, TransformAndCode<Emit>{});
}

}  // namespace

void CodeMcusAvx2(EncoderState* state, BlockWriter* writer, const std::uint8_t* samples, std::uint32_t count,
                  bool emit) {
  if (emit) {
    CodeMcuMagnitudes<true>(state, writer, samples, count);
  } else {
    CodeMcuMagnitudes<false>(state, writer, samples, count);
  }
}

}  // namespace dibjpeg
