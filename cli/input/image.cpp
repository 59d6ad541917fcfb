// The pixel buffer, densities and rows of the image the program encodes, and
// the conversion to gray.
#include "input/image.h"

#include <cstring>
#include <limits>

#ifndef _WIN32
#include <sys/mman.h>
#endif

namespace dibjpeg::cli {

void FreeBytes::operator()(std::uint8_t* p) const {
#ifndef _WIN32
  if (mapped != 0) {
    munmap(p, mapped);
    return;
  }
#endif
  std::free(p);
}

ZeroedBytes AllocateZeroed(std::uint64_t size) {
  if (size == 0 || size > std::numeric_limits<std::size_t>::max() / 2) return nullptr;
#ifndef _WIN32
  constexpr std::size_t HugePage = std::size_t{2} << 20;
  if (size >= HugePage) {
    // Map one huge page more than needed, then unmap the slack on both sides
    // of the block that starts on a huge-page boundary. The block is whole
    // huge pages: the last one, when written, takes up to 2 MiB more than
    // the bytes asked for, and saves the 4 KiB faults of the tail.
    const std::size_t length = (size + HugePage - 1) / HugePage * HugePage;
    void* mapped = mmap(nullptr, length + HugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    auto* start = static_cast<std::uint8_t*>(mapped);
    const std::size_t head = (HugePage - reinterpret_cast<std::uintptr_t>(start) % HugePage) % HugePage;
    if (head != 0) munmap(start, head);
    munmap(start + head + length, HugePage - head);
#ifdef MADV_HUGEPAGE
    madvise(start + head, length, MADV_HUGEPAGE);  // advice: the block works without it
#endif
    return ZeroedBytes(start + head, FreeBytes{length});
  }
#endif
  return ZeroedBytes(static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(size), 1)));
}

Density DensityFromPerMetre(std::uint64_t x, std::uint64_t y) {
  const std::uint64_t dpiX = (x * 254 + 5000) / 10000, dpiY = (y * 254 + 5000) / 10000;
  if (x > UINT32_MAX || y > UINT32_MAX || dpiX == 0 || dpiY == 0 || dpiX > 65535 || dpiY > 65535) return {};
  return {1, static_cast<std::uint16_t>(dpiX), static_cast<std::uint16_t>(dpiY)};
}

std::uint64_t DibRowStride(std::uint64_t width, unsigned bitCount) { return (width * bitCount + 31) / 32 * 4; }

void ConvertToGray(Image* image) {
  if (image->bitCount == 8) return;
  const bool blueFirst = image->channelOrder == 1;
  const unsigned bytesPerPixel = image->bitCount / 8u;
  const std::uint64_t inStride = DibRowStride(image->width, image->bitCount);
  const std::uint64_t outStride = DibRowStride(image->width, 8);
  std::uint8_t* pixels = image->pixels.get();
  for (std::uint64_t r = 0; r < image->height; ++r) {
    for (std::uint64_t x = 0; x < image->width; ++x) {
      const std::uint8_t* p = pixels + r * inStride + x * bytesPerPixel;
      const int c0 = p[0], c1 = p[1], c2 = p[2];  // channel values in memory order
      const int red = blueFirst ? c2 : c0, green = c1, blue = blueFirst ? c0 : c2;
      const int y = (77 * red + 150 * green + 29 * blue + 128) >> 8;
      pixels[r * outStride + x] = static_cast<std::uint8_t>(y > 255 ? 255 : y);
    }
    std::memset(pixels + r * outStride + image->width, 0, outStride - image->width);
  }
  image->size = outStride * image->height;
  image->bitCount = 8;
  image->channelOrder = 0;
}

}  // namespace dibjpeg::cli
