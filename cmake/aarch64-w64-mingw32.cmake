# Cross-compiles dibjpeg.dll for 64-bit ARM Windows with Debian's clang and
# lld (packages clang, lld, llvm), without a C run-time: Debian has none for
# ARM64 Windows, and the encoder needs only memcpy and memset
# (cmake/windows/arm64_runtime.cpp and arm64_crt.def supply the rest).
# Headers: the mingw-w64 C headers and the x86-64 MinGW libstdc++ headers
# (packages mingw-w64-common, g++-mingw-w64-x86-64-win32), which describe the
# same LLP64 Windows ABI; the encoder includes only their freestanding parts.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)

set(triple aarch64-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER_TARGET ${triple})
# Debian puts llvm-windres on PATH under its versioned name only.
find_program(CMAKE_RC_COMPILER NAMES llvm-windres llvm-windres-19 llvm-windres-16 llvm-windres-15 llvm-windres-14 REQUIRED)
# Nothing to link a test program against: check the compilers by compiling.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(mingw_include /usr/share/mingw-w64/include)
file(GLOB libstdcxx_dirs /usr/lib/gcc/x86_64-w64-mingw32/*-win32/include/c++)
list(SORT libstdcxx_dirs COMPARE NATURAL ORDER DESCENDING)
list(GET libstdcxx_dirs 0 libstdcxx)
if(NOT EXISTS ${mingw_include}/string.h OR NOT EXISTS ${libstdcxx}/atomic)
  message(FATAL_ERROR "MinGW headers missing: install mingw-w64-common and g++-mingw-w64-x86-64-win32")
endif()
# assert would call the C run-time's _assert: NDEBUG in every configuration.
set(flags "-isystem ${libstdcxx} -isystem ${libstdcxx}/x86_64-w64-mingw32 -isystem ${mingw_include} -DNDEBUG")
set(CMAKE_C_FLAGS_INIT "${flags}")
set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ ${flags}")
set(CMAKE_RC_FLAGS_INIT "--target=${triple} -I${mingw_include}")

# lld in its MinGW mode, no start files and no default libraries; the DLL's
# own entry point; ASLR with 64-bit addresses and DEP.
set(CMAKE_SHARED_LINKER_FLAGS_INIT
  "-fuse-ld=lld -nostdlib -Wno-unused-command-line-argument -Wl,--entry=DllMainCRTStartup -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat -s")
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")
