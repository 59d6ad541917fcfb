// The interchangeable kernels behind ForwardDct, QuantizeBlock,
// TransformBlock and EncodeBlock: the portable ones and, on x86-64, AVX2
// ones and an AVX-512 MCU coder that give identical results.
#pragma once

#include <cstdint>

#include "block/block.h"
#include "common/encoder_state.h"
#include "common/tables.h"

namespace dibjpeg {

void ForwardDctScalar(std::int32_t output[64], const std::uint8_t samples[64]);
void QuantizeBlockScalar(std::int16_t coefficients[64], const std::int32_t output[64], const QuantTable* table);

#if defined(DIBJPEG_HAVE_AVX2)
void ForwardDctAvx2(std::int32_t output[64], const std::uint8_t samples[64]);
void QuantizeBlockAvx2(std::int16_t coefficients[64], const std::int32_t output[64], const QuantTable* table);
void TransformBlockAvx2(std::int16_t coefficients[64], const std::uint8_t samples[64], const QuantTable* table);

// A quantized block as the AVX2 block coder takes it: what it sends for each
// coefficient, worked out for all 64 at once. In the order the transform
// leaves them (TransformPosition), but for the mask.
struct BlockMagnitudes {
  alignas(32) std::uint16_t bits[64];  // v, or the one's complement of |v| for negative v; cut to size when sent
  alignas(32) std::uint16_t magnitude[64];  // |v|
  std::uint64_t nonzero;               // bit k set when the coefficient at zigzag position k is not 0
  std::int16_t dc;                     // coefficient 0
};
// TransformBlockAvx2, delivering the block that way.
void TransformBlockMagnitudesAvx2(BlockMagnitudes* out, const std::uint8_t samples[64], const QuantTable* table);

// DC and AC parts of one block in one go, where the sink has room for
// anything a block produces.
int CodeBlockAvx2(ByteStream* sink, const ComponentSpec* component, std::int32_t diff,
                  const std::int16_t* coefficients, bool emit);
// Every block of `count` MCUs (their samples, as the assembler laid them
// out, one MCU after the other) transformed and coded through the scan's
// writer; encode mode writes from `out` on, where room is proven.
void CodeMcusAvx2(EncoderState* state, BlockWriter* writer, std::uint8_t* out, const std::uint8_t* samples,
                  std::uint32_t count, bool emit);
#endif

#if defined(DIBJPEG_HAVE_AVX512)
// CodeMcusAvx2 for processors with AVX-512: the same bytes.
void CodeMcusAvx512(EncoderState* state, BlockWriter* writer, std::uint8_t* out, const std::uint8_t* samples,
                    std::uint32_t count, bool emit);
#endif

}  // namespace dibjpeg
