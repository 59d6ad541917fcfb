// Which optional instruction sets this processor offers. Each subsystem asks
// once, on its first use, and keeps the kernel it picked for the process.
#pragma once

namespace dibjpeg {

// True when the AVX2 kernels were built in and the processor and operating
// system support them: AVX2 together with BMI2 and LZCNT, which come with
// every AVX2 processor in practice.
bool CpuHasAvx2();

}  // namespace dibjpeg
