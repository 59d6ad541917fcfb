// The cost of whole calls, for instruction counters: encodes one small image
// many times over, so that `valgrind --tool=callgrind` or `perf stat -e
// instructions` divided by the call count gives the cost of one call.
//
//   dibjpeg_call_cost [WIDTH HEIGHT [BITS [CALLS]]]   (default: 8 8 24 1000)

#include <dibjpeg/dibjpeg.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
  const unsigned width = argc > 2 ? static_cast<unsigned>(std::atoi(argv[1])) : 8;
  const unsigned height = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 8;
  const unsigned bits = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 24;
  const int calls = argc > 4 ? std::atoi(argv[4]) : 1000;
  if (width == 0 || height == 0 || width > 65535 || height > 65535 || calls <= 0) {
    std::fprintf(stderr, "usage: %s [WIDTH HEIGHT [BITS [CALLS]]]\n", argv[0]);
    return 2;
  }

  // A smooth ramp with a little texture: a few non-zero AC coefficients.
  const unsigned stride = (width * bits + 31) / 32 * 4;
  std::vector<std::uint8_t> pixels(std::size_t(stride) * height);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(i * 7 + (i / stride) * 3);
  JpegEncodeParams params{};
  params.srcBits = pixels.data();
  params.srcSize = static_cast<std::uint32_t>(pixels.size());
  params.width = width;
  params.height = height;
  params.bitCount = static_cast<std::uint16_t>(bits);
  params.quality = 75;
  params.sampling = 0;
  params.channelOrder = 1;
  std::vector<std::uint8_t> out(JpegEncodeBound(&params));
  std::uint32_t total = 0;
  for (int i = 0; i < calls; ++i) {
    params.dstBuffer = out.data();
    params.dstSize = static_cast<std::uint32_t>(out.size());
    if (const std::uint16_t status = Jpeg_EncodeStart(&params, JPEG_MODE_ENCODE)) {
      std::fprintf(stderr, "encode failed with status 0x%04X\n", status);
      return 1;
    }
    total += params.dstSize;
  }
  std::printf("%d calls, %u bytes each\n", calls, total / static_cast<std::uint32_t>(calls));
  return 0;
}
