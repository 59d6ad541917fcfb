// Recognising the input, the helpers the format readers share, and the
// conversion to gray.
#include "image_input.h"

#include <cstring>
#include <limits>

#include "image_readers.h"

#ifndef _WIN32
#include <sys/mman.h>
#include <sys/uio.h>
#endif

namespace dibjpeg::cli {

constexpr char FormatsSupported[] = "BMP, PNM (P1 to P6), PAM (P7) and PNG";
constexpr std::uint64_t MaxJpegSide = 65535;
constexpr std::uint64_t MaxDecodableSide = 65500;  // libjpeg's limit, which most decoders share

std::size_t ReadBytes(Source* source, void* to, std::size_t n) {
  const std::size_t got = std::fread(to, 1, n, source->file);
  source->position += got;
  return got;
}

int GetByte(Source* source) {
#ifdef _WIN32
  const int c = _getc_nolock(source->file);
#else
  const int c = getc_unlocked(source->file);  // one thread reads; no lock per byte
#endif
  if (c != EOF) ++source->position;
  return c == EOF ? -1 : c;
}

void UngetByte(Source* source, int c) {
  if (c < 0) return;
  std::ungetc(c, source->file);
  --source->position;
}

bool SkipBytes(Source* source, std::uint64_t n) {
  std::uint8_t chunk[4096];
  while (n > 0) {
    const std::size_t want = n < sizeof chunk ? std::size_t(n) : sizeof chunk;
    if (ReadBytes(source, chunk, want) != want) return false;
    n -= want;
  }
  return true;
}

bool ReadRowRun(Source* source, std::uint8_t* first, std::int64_t step, std::uint64_t count, std::size_t rowBytes) {
#ifndef _WIN32
  // A regular file is read past stdio at the offset stdio has reached,
  // which then moves on to the end of the rows. A stream without a file
  // descriptor (one over memory) goes through stdio.
  const int fd = fileno(source->file);
  if (fd >= 0 && source->size != UINT64_MAX && count > 1) {
    constexpr std::uint64_t Batch = 1024;  // IOV_MAX on Linux
    iovec rows[Batch];
    for (std::uint64_t done = 0; done < count;) {
      const std::uint64_t n = count - done < Batch ? count - done : Batch;
      for (std::uint64_t i = 0; i < n; ++i) rows[i] = {first + std::int64_t(done + i) * step, rowBytes};
      std::uint64_t got = 0;
      for (iovec* at = rows; got < n * rowBytes;) {  // a short read leaves rows to finish
        const ssize_t r = preadv(fd, at, int(rows + n - at), off_t(source->position + got));
        if (r <= 0) return false;
        got += std::uint64_t(r);
        for (std::size_t left = std::size_t(r); left > 0;) {
          const std::size_t take = left < at->iov_len ? left : at->iov_len;
          at->iov_base = static_cast<std::uint8_t*>(at->iov_base) + take;
          at->iov_len -= take;
          left -= take;
          if (at->iov_len == 0) ++at;
        }
      }
      source->position += got;
      done += n;
    }
    return std::fseek(source->file, long(source->position), SEEK_SET) == 0;
  }
#endif
  for (std::uint64_t i = 0; i < count; ++i) {
    if (ReadBytes(source, first + std::int64_t(i) * step, rowBytes) != rowBytes) return false;
  }
  return true;
}

std::string Num(std::uint64_t v) { return std::to_string(v); }

std::string BitsPerPixel(std::uint64_t bits) { return Num(bits) + (bits == 1 ? " bit" : " bits") + " per pixel"; }

bool Refuse(std::string* error, const std::string& found, const std::string& supported) {
  *error = found + "; supported: " + supported;
  return false;
}

bool RefuseTruncated(std::string* error, const std::string& format, std::uint64_t end, std::uint64_t size) {
  return Refuse(error, "truncated " + format + ": pixel data ends at byte " + Num(end) + ", file has " + Num(size),
                "complete files");
}

bool AllocatePixels(const Source& source, const ReadOptions& options, std::uint64_t width, std::uint64_t height,
                    unsigned bitCount, std::uint64_t dataEnd, Image* image, std::string* error) {
  const std::string sides = "image is " + Num(width) + " x " + Num(height) + " pixels; ";
  if (width > MaxJpegSide || height > MaxJpegSide) {
    *error = sides + "JPEG allows at most 65535 x 65535";
    return false;
  }
  // The encoder takes a 32-bit buffer size.
  if (height > std::numeric_limits<std::uint32_t>::max() / DibRowStride(width, bitCount)) {
    return Refuse(error, image->format + " of " + Num(width) + " x " + Num(height) + " pixels, over 4 GiB of pixels",
                  "images whose pixels take at most 4 GiB");
  }
  if (dataEnd != 0 && source.size != UINT64_MAX && dataEnd > source.size) {
    return RefuseTruncated(error, image->format, dataEnd, source.size);
  }
  if (source.maxPixels != 0 && width * height > source.maxPixels) {
    const std::string limit = Num(source.maxPixels);
    return Refuse(error,
                  image->format + " of " + Num(width) + " x " + Num(height) + " pixels (" + Num(width * height) +
                      "), over the limit of " + limit + " pixels",
                  "up to " + limit + " pixels (--max-pixels N raises the limit, --max-pixels 0 lifts it)");
  }
  if (!options.allowLarge && (width > MaxDecodableSide || height > MaxDecodableSide)) {
    *error = sides + "decoders built on libjpeg (most viewers and libraries) refuse sides above 65500; "
                     "--allow-large encodes it all the same";
    return false;
  }
  image->width = static_cast<std::uint32_t>(width);
  image->height = static_cast<std::uint32_t>(height);
  image->bitCount = static_cast<std::uint16_t>(bitCount);
  image->size = DibRowStride(width, bitCount) * height;
  image->pixels = AllocateZeroed(image->size);
  if (image->pixels == nullptr) {
    *error = "out of memory: the pixels of " + image->format + " " + Num(width) + " x " + Num(height) + " take " +
             Num(image->size) + " bytes";
    return false;
  }
  return true;
}

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

bool ReadImage(Source* source, const ReadOptions& options, Image* image, std::string* error) {
  std::uint8_t magic[8];
  const std::size_t got = ReadBytes(source, magic, 2);
  if (got == 0) return Refuse(error, "empty input", FormatsSupported);
  if (got == 2 && magic[0] == 'B' && magic[1] == 'M') return ReadBmp(source, options, image, error);
  if (got == 2 && magic[0] == 'P' && magic[1] >= '1' && magic[1] <= '7') {
    return ReadPnm(source, static_cast<char>(magic[1]), options, image, error);
  }
  constexpr std::uint8_t PngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  const std::size_t total = got == 2 ? 2 + ReadBytes(source, magic + 2, 6) : got;
  if (total == 8 && std::memcmp(magic, PngSignature, 8) == 0) {
#ifdef DIBJPEG_HAVE_PNG
    return ReadPng(source, options, image, error);
#else
    return Refuse(error, "PNG, which this build cannot read (built without libpng)", "BMP, PNM (P1 to P6), PAM (P7)");
#endif
  }
  std::string start;
  for (std::size_t i = 0; i < total && i < 4; ++i) {
    char text[4];
    std::snprintf(text, sizeof text, "%s%02X", i ? " " : "", magic[i]);
    start += text;
  }
  return Refuse(error, "unrecognised input starting with bytes " + start, FormatsSupported);
}

// Each gray row is written no further along the buffer than the colour row
// it comes from, so the conversion can run in place, top of the buffer first.
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
