// Pixel input: the MCU readers, one per pixel format, and the assemblers that
// subsample the chroma planes and lay out the MCU's blocks.
#pragma once

#include <cstdint>

#include "common/encoder_state.h"

namespace dibjpeg {

int ReadMcuGray8(EncoderState* state, std::uint8_t* mcuBuffer);
int ReadMcuRgb16(EncoderState* state, std::uint8_t* mcuBuffer);
int ReadMcuBgr16(EncoderState* state, std::uint8_t* mcuBuffer);
int ReadMcuRgb24(EncoderState* state, std::uint8_t* mcuBuffer);
int ReadMcuBgr24(EncoderState* state, std::uint8_t* mcuBuffer);
int ReadMcuRgb32(EncoderState* state, std::uint8_t* mcuBuffer);
int ReadMcuBgr32(EncoderState* state, std::uint8_t* mcuBuffer);

void AssembleMcu420(std::uint8_t* mcuBuffer, const std::uint8_t* planeY, const std::uint8_t* planeCb,
                    const std::uint8_t* planeCr);
void AssembleMcu422(std::uint8_t* mcuBuffer, const std::uint8_t* planeY, const std::uint8_t* planeCb,
                    const std::uint8_t* planeCr);
void AssembleMcu444(std::uint8_t* mcuBuffer, const std::uint8_t* planeY, const std::uint8_t* planeCb,
                    const std::uint8_t* planeCr);

struct YCbCr {
  std::uint8_t y, cb, cr;
};

// The integer colour conversion all colour readers share.
YCbCr ConvertToYCbCr(int r, int g, int b);

}  // namespace dibjpeg
