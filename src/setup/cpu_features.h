// Which optional instruction sets this processor offers. Each subsystem asks
// once, on its first use, and keeps the kernel it picked for the process.
#pragma once

namespace dibjpeg {

// True when the AVX2 kernels were built in and the processor and operating
// system support them: AVX2 together with BMI2 and LZCNT, which come with
// every AVX2 processor in practice.
bool CpuHasAvx2();

// For tests: turns the AVX2 kernels off (the portable code runs everywhere)
// or back on where the processor has them.
void UseAvx2Kernels(bool enabled);

}  // namespace dibjpeg
