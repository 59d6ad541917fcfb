// The block coder compiled for processors with AVX2, BMI2 and LZCNT: the
// same code as the portable coder, with single-instruction variable shifts
// and bit counts.
#include "block/block_kernels.h"
#include "block/huffman_coder.h"

namespace dibjpeg {

int CodeBlockAvx2(EncoderState* state, const ComponentSpec* component, std::int32_t diff,
                  const std::int16_t* coefficients, bool emit) {
  return emit ? CodeBlock<true>(state, component, diff, coefficients)
              : CodeBlock<false>(state, component, diff, coefficients);
}

}  // namespace dibjpeg
