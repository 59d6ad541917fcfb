// Internal view of the entry point, for tests that drive its pieces.
#pragma once

#include <cstdint>

#include "common/encoder_state.h"
#include "dibjpeg/dibjpeg.h"

namespace dibjpeg {

// Runs the encoder against a counting sink; the measured length, 0 on failure.
std::uint32_t MeasureEncodedSize(const JpegEncodeParams* params, EncodeJob* job);

// Jpeg_EncodeStart itself.
std::uint16_t EncodeStart(JpegEncodeParams* params, std::int32_t mode);

}  // namespace dibjpeg
