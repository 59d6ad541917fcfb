// The block coder compiled for processors with AVX2, BMI2 and LZCNT: the
// same code as the portable coder, with single-instruction variable shifts
// and bit counts.
#include "block/block_kernels.h"
#include "block/huffman_coder.h"

namespace dibjpeg {

int CodeBlockAvx2(ByteStream* sink, const ComponentSpec* component, std::int32_t diff,
                  const std::int16_t* coefficients, bool emit) {
  return emit ? CodeBlock<true>(sink, component, diff, coefficients)
              : CodeBlock<false>(sink, component, diff, coefficients);
}

void CodeMcuAvx2(EncoderState* state, BlockWriter* writer, const std::int16_t (*coefficients)[64], bool emit) {
  if (emit) {
    CodeMcu<true>(state, writer, coefficients);
  } else {
    CodeMcu<false>(state, writer, coefficients);
  }
}

}  // namespace dibjpeg
