// The interchangeable kernels behind ForwardDct and QuantizeBlock: the
// portable ones and, on x86-64, AVX2 ones that give identical results.
#pragma once

#include <cstdint>

#include "jpeg/tables.h"

namespace dibjpeg {

void ForwardDctScalar(std::int32_t output[64], const std::uint8_t samples[64]);
void QuantizeBlockScalar(std::int16_t coefficients[64], const std::int32_t output[64], const QuantTable* table);

#if defined(DIBJPEG_HAVE_AVX2)
void ForwardDctAvx2(std::int32_t output[64], const std::uint8_t samples[64]);
void QuantizeBlockAvx2(std::int16_t coefficients[64], const std::int32_t output[64], const QuantTable* table);
#endif

}  // namespace dibjpeg
