// The process-wide status word and the helpers every stage uses to record
// why it failed. Stages OR bits in; the entry point stores and returns it.
#pragma once

#include <atomic>
#include <cstdint>

#include "dibjpeg/dibjpeg.h"

namespace dibjpeg {

// Status values, as the entry point returns them (see dibjpeg.h).
inline constexpr std::uint16_t StatusBase = JpegStatusBase;                    // stored at every call start
inline constexpr std::uint16_t StatusZeroDimension = JpegStatusZeroDimension;  // entry point
inline constexpr std::uint16_t StatusBadArgument = JpegStatusBadArgument;      // entry point
inline constexpr std::uint16_t StatusBadBitCount = JpegStatusBadBitCount;      // entry point
inline constexpr std::uint16_t StatusBadJob = JpegStatusBadJob;                // measure path, set-up
inline constexpr std::uint16_t StatusOverrun = JpegStatusOverrun;              // memory stream, colour readers
inline constexpr std::uint16_t StatusApp0Failed = JpegStatusApp0Failed;        // frame writer
inline constexpr std::uint16_t StatusDhtFailed = JpegStatusDhtFailed;          // frame writer, DHT check
inline constexpr std::uint16_t StatusDqtFailed = JpegStatusDqtFailed;          // frame writer
inline constexpr std::uint16_t StatusSofFailed = JpegStatusSofFailed;          // frame writer
inline constexpr std::uint16_t StatusScanFailed = JpegStatusScanFailed;        // frame writer

// One word for the whole process, 0 at load. Atomic so that concurrent calls
// do not race; relaxed because it orders nothing else. Concurrent failing
// calls may still see each other's bits.
extern std::atomic<std::uint16_t> EncodeStatus;

inline void SetStatus(std::uint16_t value) { EncodeStatus.store(value, std::memory_order_relaxed); }
inline std::uint16_t GetStatus() { return EncodeStatus.load(std::memory_order_relaxed); }

// ORs bits into the status word and returns 0, so a failure site is one line:
// `return FailWith(StatusOverrun);`
inline int FailWith(std::uint16_t bits) {
  EncodeStatus.fetch_or(bits, std::memory_order_relaxed);
  return 0;
}

}  // namespace dibjpeg
