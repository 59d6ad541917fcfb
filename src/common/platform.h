// Compiler-specific spellings, kept in this one place.
#pragma once

// For small helpers on the hot paths whose values must stay in registers
// across the call; compilers otherwise keep some of them out of line.
#if defined(_MSC_VER)
#define DIBJPEG_ALWAYS_INLINE __forceinline
#elif defined(__GNUC__)
#define DIBJPEG_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define DIBJPEG_ALWAYS_INLINE inline
#endif
