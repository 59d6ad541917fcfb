// Block coding: the forward DCT and quantization of one 8x8 block, and its
// Huffman coding into the sink.
#pragma once

#include <cstdint>

#include "jpeg/tables.h"
#include "setup/encoder_state.h"

namespace dibjpeg {

// 8 x the 2-D DCT of the level-shifted samples, natural order.
void ForwardDct(std::int32_t output[64], const std::uint8_t samples[64]);
// output / divisor, rounded half away from zero.
void QuantizeBlock(std::int16_t coefficients[64], const std::int32_t output[64], const QuantTable* table);
// ForwardDct then QuantizeBlock, in one step.
void TransformBlock(std::int16_t coefficients[64], const std::uint8_t samples[64], const QuantTable* table);

int EncodeBlock(EncoderState* state, ComponentSpec* component, const std::int16_t* coefficients);
int EncodeDcDiff(EncoderState* state, const HuffTable* dcTable, std::int32_t diff);
int EncodeAcCoefficients(EncoderState* state, const HuffTable* acTable, const std::int16_t* coefficients);

}  // namespace dibjpeg
