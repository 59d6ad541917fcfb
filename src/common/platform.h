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

// For cold or bulky paths kept out of a small dispatcher, whose registers
// would otherwise be saved on every call.
#if defined(_MSC_VER)
#define DIBJPEG_NOINLINE __declspec(noinline)
#elif defined(__GNUC__)
#define DIBJPEG_NOINLINE __attribute__((noinline))
#else
#define DIBJPEG_NOINLINE
#endif
