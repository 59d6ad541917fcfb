// The helpers the format readers share: reading from the Source, one-line
// refusals, and the size checks made from a header before any memory is taken.
#include "input/reader.h"

#include <cstring>
#include <limits>

#ifndef _WIN32
#include <sys/uio.h>
#endif

namespace dibjpeg::cli {

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

bool MapRows(Source* source, std::uint64_t end, Image* image) {
#ifndef _WIN32
  // Read into huge pages, the rows cost less than mapped: the encoder reads
  // the page cache through 4 KiB pages more slowly than the copy takes.
  if (source->size == UINT64_MAX || HugePagesOffered()) return false;
  ZeroedBytes rows = MapFileBytes(fileno(source->file), source->position, image->size);
  if (rows == nullptr || std::fseek(source->file, long(end), SEEK_SET) != 0) return false;
  image->pixels = std::move(rows);
  source->position = end;
  return true;
#else
  static_cast<void>(source), static_cast<void>(end), static_cast<void>(image);
  return false;
#endif
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

void CompositeAlphaOnWhite(Image* image) {
  std::uint8_t* p = image->pixels.get();
  for (std::uint64_t i = 0; i + 3 < image->size; i += 4) {
    const unsigned a = p[i + 3];
    for (int c = 0; c < 3; ++c) p[i + c] = OnWhite(p[i + c], a);
    p[i + 3] = 255;
  }
}

}  // namespace dibjpeg::cli
