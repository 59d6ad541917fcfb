// The size search: a measure per quality tried, at most 2 + log2(top).
#include "output/size_target.h"

namespace dibjpeg::cli {

SizeTarget FindQuality(JpegEncodeParams params, std::uint64_t extra, std::uint64_t limit, int top) {
  SizeTarget result;
  // The whole file at quality q, or 0 when the encoder fails.
  auto measure = [&](int q) -> std::uint64_t {
    params.quality = static_cast<std::uint8_t>(q);
    params.dstBuffer = nullptr;
    params.dstSize = 0;
    ++result.measures;
    const std::uint16_t status = Jpeg_EncodeStart(&params, JPEG_MODE_MEASURE);
    if (status != JpegStatusSuccess) result.status = status;
    return status == JpegStatusSuccess ? params.dstSize + extra : 0;
  };
  std::uint64_t size = measure(top);
  if (result.status != 0) return result;
  if (size <= limit) return {top, size, 0, result.measures};
  std::uint64_t fits = measure(1);  // the size at `low`
  if (result.status != 0) return result;
  if (fits > limit) return {0, fits, 0, result.measures};
  // size(low) <= limit < size(high)
  int low = 1, high = top;
  while (high - low > 1) {
    const int mid = low + (high - low) / 2;
    size = measure(mid);
    if (result.status != 0) return result;
    if (size <= limit) {
      low = mid;
      fits = size;
    } else {
      high = mid;
    }
  }
  return {low, fits, 0, result.measures};
}

}  // namespace dibjpeg::cli
