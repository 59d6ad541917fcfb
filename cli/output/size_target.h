// The highest quality whose JPEG fits a size limit, found by measuring
// (the library's measure mode gives the exact length of the stream without
// writing it, as fast as it encodes).
#pragma once

#include <cstdint>

#include "dibjpeg/dibjpeg.h"

namespace dibjpeg::cli {

struct SizeTarget {
  int quality = 0;          // the quality chosen; 0 when none fits
  std::uint64_t size = 0;   // the whole file at `quality`; when none fits, the file at quality 1
  std::uint16_t status = 0; // the encoder's failure status, 0 when every measure succeeded
  int measures = 0;         // how many times the stream was measured
};

// Searches qualities 1 to `top` of `params` (everything else as given) for
// the highest one whose stream plus `extra` bytes (the metadata segments the
// program adds) is at most `limit` bytes. A binary search that keeps a
// quality known to fit below one known not to, so the result q fits and
// q + 1 does not (or q is `top`); size is not strictly monotonic in
// quality, so a quality above q + 1 may fit too, and is not looked for.
SizeTarget FindQuality(JpegEncodeParams params, std::uint64_t extra, std::uint64_t limit, int top);

}  // namespace dibjpeg::cli
