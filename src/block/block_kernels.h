// The interchangeable kernels behind ForwardDct, QuantizeBlock,
// TransformBlock and EncodeBlock: the portable ones and, on x86-64, AVX2
// ones that give identical results.
#pragma once

#include <cstdint>

#include "block/block.h"
#include "jpeg/tables.h"
#include "setup/encoder_state.h"

namespace dibjpeg {

void ForwardDctScalar(std::int32_t output[64], const std::uint8_t samples[64]);
void QuantizeBlockScalar(std::int16_t coefficients[64], const std::int32_t output[64], const QuantTable* table);

#if defined(DIBJPEG_HAVE_AVX2)
void ForwardDctAvx2(std::int32_t output[64], const std::uint8_t samples[64]);
void QuantizeBlockAvx2(std::int16_t coefficients[64], const std::int32_t output[64], const QuantTable* table);
void TransformBlockAvx2(std::int16_t coefficients[64], const std::uint8_t samples[64], const QuantTable* table);

// DC and AC parts of one block in one go, where the sink has room for
// anything a block produces.
int CodeBlockAvx2(ByteStream* sink, const ComponentSpec* component, std::int32_t diff,
                  const std::int16_t* coefficients, bool emit);
// Every block of one MCU through the scan's writer, with room proven.
void CodeMcuAvx2(EncoderState* state, BlockWriter* writer, const std::int16_t (*coefficients)[64], bool emit);
#endif

}  // namespace dibjpeg
