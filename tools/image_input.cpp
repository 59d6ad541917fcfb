// BMP, PGM (P5) and PPM (P6) into the encoder's bitmap layout. Every size a
// header states is checked against the file before a byte is copied, so a
// truncated or inconsistent file is refused, never read past.
#include "image_input.h"

#include <cstdio>
#include <cstring>
#include <limits>

namespace dibjpeg::cli {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr char FormatsSupported[] = "BMP, binary PGM (P5) and binary PPM (P6)";
constexpr char CompleteFiles[] = "complete files";

std::uint32_t Le16(const std::uint8_t* p) { return p[0] | p[1] << 8; }
std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

std::string Num(std::uint64_t v) { return std::to_string(v); }

std::string Hex(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", v);
  return text;
}

bool Fail(std::string* error, const std::string& found, const char* supported) {
  *error = found + "; supported: " + supported;
  return false;
}

// The encoder takes 32-bit sizes. Checking that the bottom-up buffer fits in
// them also bounds every offset computed from this image afterwards.
bool FitsEncoder(std::uint64_t width, std::uint64_t height, unsigned bitCount, const std::string& format,
                 std::string* error) {
  if (height > std::numeric_limits<std::uint32_t>::max() / DibRowStride(width, bitCount)) {
    return Fail(error, format + " of " + Num(width) + " x " + Num(height) + " pixels, over 4 GiB of pixels",
                "images whose pixels take at most 4 GiB");
  }
  return true;
}

// Called once the file is known to hold every pixel the header promises.
void AllocatePixels(std::uint64_t width, std::uint64_t height, unsigned bitCount, Image* image) {
  image->width = static_cast<std::uint32_t>(width);
  image->height = static_cast<std::uint32_t>(height);
  image->bitCount = static_cast<std::uint16_t>(bitCount);
  image->pixels.assign(DibRowStride(width, bitCount) * height, 0);
}

const char* CompressionName(std::uint32_t compression) {
  switch (compression) {
    case 1: return "RLE8";
    case 2: return "RLE4";
    case 4: return "JPEG";
    case 5: return "PNG";
    case 6: return "ALPHABITFIELDS";
    case 11: return "CMYK";
    case 12: return "CMYKRLE8";
    case 13: return "CMYKRLE4";
    default: return "unknown";
  }
}

// File header (14 bytes) then info header, all little-endian:
//   file  0  2  "BM"           info  4  4  width (> 0)
//   file 10  4  pixel offset   info  8  4  height (< 0: top-down rows)
//   info  0  4  header size    info 12  2  planes (1)
//                              info 14  2  bits per pixel
//                              info 16  4  compression (0 BI_RGB, 3 BI_BITFIELDS)
//                              info 32  4  palette entries (0: 2^bits)
// Colour masks follow a 40-byte header, or sit at info 40 in the longer ones;
// the palette (B, G, R, 0 per entry) follows the header and any masks.
bool ReadBmp(const Bytes& file, Image* image, std::string* error) {
  constexpr std::size_t FileHeader = 14;
  if (file.size() < FileHeader + 4) {
    return Fail(error, "truncated BMP: " + Num(file.size()) + " bytes, shorter than its headers", CompleteFiles);
  }
  const std::uint32_t pixelOffset = Le32(&file[10]);
  const std::uint32_t infoSize = Le32(&file[14]);
  if (infoSize != 40 && infoSize != 52 && infoSize != 56 && infoSize != 108 && infoSize != 124) {
    return Fail(error, "BMP with a " + Num(infoSize) + "-byte info header" + (infoSize == 12 ? " (OS/2 core header)" : ""),
                "BMP info headers of 40 (BITMAPINFOHEADER), 52, 56, 108 (V4) and 124 (V5) bytes");
  }
  if (file.size() < FileHeader + infoSize) {
    return Fail(error, "truncated BMP: " + Num(file.size()) + " bytes, shorter than its headers", CompleteFiles);
  }
  const std::uint8_t* info = &file[FileHeader];
  const auto width = static_cast<std::int32_t>(Le32(info + 4));
  const auto height = static_cast<std::int32_t>(Le32(info + 8));
  const std::uint32_t planes = Le16(info + 12);
  const std::uint32_t bits = Le16(info + 14);
  const std::uint32_t compression = Le32(info + 16);
  const std::uint32_t paletteUsed = Le32(info + 32);

  if (planes != 1) return Fail(error, "BMP with " + Num(planes) + " planes", "BMP with 1 plane");
  if (width <= 0 || height == 0) {
    return Fail(error, "BMP of width " + std::to_string(width) + " and height " + std::to_string(height),
                "width above 0 and height other than 0 (negative for top-down rows)");
  }
  if (bits != 8 && bits != 16 && bits != 24 && bits != 32) {
    return Fail(error, "BMP with " + Num(bits) + " bits per pixel", "BMP with 8, 16, 24 or 32 bits per pixel");
  }
  const bool bitfields = compression == 3;
  if (compression != 0 && !bitfields) {
    return Fail(error, "BMP with " + std::string(CompressionName(compression)) + " compression (type " +
                           Num(compression) + ")",
                "uncompressed BMP (BI_RGB), and BI_BITFIELDS at 16 and 32 bits");
  }
  std::size_t tablesEnd = FileHeader + infoSize;
  if (bitfields) {
    if (bits != 16 && bits != 32) {
      return Fail(error, "BMP " + Num(bits) + "-bit with BI_BITFIELDS", "BI_BITFIELDS at 16 and 32 bits");
    }
    if (infoSize == 40) tablesEnd += 12;
    if (file.size() < tablesEnd) {
      return Fail(error, "truncated BMP: " + Num(file.size()) + " bytes, shorter than its colour masks", CompleteFiles);
    }
    const std::uint8_t* masks = info + 40;
    const std::uint32_t red = Le32(masks), green = Le32(masks + 4), blue = Le32(masks + 8);
    const bool ok = bits == 16 ? red == 0x7C00 && green == 0x03E0 && blue == 0x001F
                               : red == 0xFF0000 && green == 0xFF00 && blue == 0xFF;
    if (!ok) {
      return Fail(error,
                  "BMP " + Num(bits) + "-bit with masks red " + Hex(red) + " green " + Hex(green) + " blue " + Hex(blue),
                  bits == 16 ? "16-bit masks red 0x7C00 green 0x3E0 blue 0x1F (5-5-5)"
                             : "32-bit masks red 0xFF0000 green 0xFF00 blue 0xFF (BGRX)");
    }
  }

  // An 8-bit palette whose entries are all gray maps to gray levels; any
  // other palette expands to 24-bit blue-first pixels.
  std::uint32_t paletteSize = 0;
  bool grayPalette = true;
  if (bits == 8) {
    paletteSize = paletteUsed != 0 ? paletteUsed : 256;
    if (paletteSize > 256) {
      return Fail(error, "BMP 8-bit with a " + Num(paletteSize) + "-entry palette", "palettes of up to 256 entries");
    }
    if (file.size() - tablesEnd < 4 * std::size_t(paletteSize)) {
      return Fail(error, "truncated BMP: " + Num(file.size()) + " bytes, shorter than its palette", CompleteFiles);
    }
    for (std::uint32_t i = 0; i < paletteSize; ++i) {
      const std::uint8_t* entry = &file[tablesEnd + 4 * i];
      grayPalette = grayPalette && entry[0] == entry[1] && entry[1] == entry[2];
    }
  }
  const std::uint8_t* palette = bits == 8 ? &file[tablesEnd] : nullptr;

  const bool topDown = height < 0;
  const std::uint64_t rows = topDown ? std::uint64_t(-std::int64_t(height)) : std::uint64_t(height);
  image->format = "BMP " + Num(bits) + "-bit" + (bits == 16 ? " 5-5-5" : "") +
                  (bits == 8 ? (grayPalette ? " gray palette" : " colour palette") : "") + (topDown ? " top-down" : "");
  const unsigned outBits = bits == 8 && !grayPalette ? 24 : bits;
  if (!FitsEncoder(std::uint64_t(width), rows, outBits, image->format, error)) return false;

  // The top row in the file needs only its pixel bytes, not its padding.
  const std::uint64_t inStride = DibRowStride(std::uint64_t(width), bits);
  const std::uint64_t rowBytes = std::uint64_t(width) * (bits / 8);
  const std::uint64_t needed = std::uint64_t(pixelOffset) + (rows - 1) * inStride + rowBytes;
  if (pixelOffset < tablesEnd) {
    return Fail(error, "BMP whose pixel data offset " + Num(pixelOffset) + " lies inside its headers",
                "pixel data after the headers");
  }
  if (needed > file.size()) {
    return Fail(error,
                "truncated BMP: pixel data ends at byte " + Num(needed) + ", file has " + Num(file.size()),
                CompleteFiles);
  }
  AllocatePixels(std::uint64_t(width), rows, outBits, image);
  const std::uint64_t outStride = DibRowStride(std::uint64_t(width), outBits);
  for (std::uint64_t r = 0; r < rows; ++r) {
    const std::uint8_t* in = &file[pixelOffset + (topDown ? rows - 1 - r : r) * inStride];
    std::uint8_t* out = &image->pixels[r * outStride];
    if (bits != 8) {
      std::memcpy(out, in, rowBytes);
      continue;
    }
    for (std::uint64_t x = 0; x < rowBytes; ++x) {
      if (in[x] >= paletteSize) {
        return Fail(error, "BMP pixel index " + Num(in[x]) + " beyond its " + Num(paletteSize) + "-entry palette",
                    "indexes within the palette");
      }
      const std::uint8_t* entry = palette + 4 * in[x];
      if (grayPalette) {
        out[x] = entry[0];
      } else {
        std::memcpy(out + 3 * x, entry, 3);
      }
    }
  }
  image->channelOrder = 1;  // BMP pixels are blue first, 16-bit blue in bits 0-4
  return true;
}

bool IsPnmSpace(std::uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// "P5" or "P6", then width, height and maxval as decimal text separated by
// white space and "#" comments, then exactly one white-space byte and the
// rows, top row first, without padding.
bool ReadPnm(const Bytes& file, Image* image, std::string* error) {
  constexpr char PnmSupported[] = "binary PGM (P5) and binary PPM (P6) with maxval 255";
  const char kind = static_cast<char>(file[1]);
  if (kind != '5' && kind != '6') {
    const char* what = kind == '1' ? "plain-text bitmap"
                       : kind == '2' ? "plain-text graymap"
                       : kind == '3' ? "plain-text pixmap"
                       : kind == '4' ? "binary bitmap"
                                     : "arbitrary map";
    return Fail(error, std::string("PNM type P") + kind + " (" + what + ")", PnmSupported);
  }
  const std::string name = kind == '5' ? "PGM" : "PPM";
  std::uint64_t values[3] = {};
  std::size_t pos = 2;
  for (std::uint64_t& value : values) {
    while (pos < file.size() && (IsPnmSpace(file[pos]) || file[pos] == '#')) {
      if (file[pos] == '#') {
        while (pos < file.size() && file[pos] != '\n') ++pos;
      } else {
        ++pos;
      }
    }
    if (pos >= file.size() || file[pos] < '0' || file[pos] > '9') {
      return Fail(error, "truncated or malformed " + name + " header", PnmSupported);
    }
    for (; pos < file.size() && file[pos] >= '0' && file[pos] <= '9'; ++pos) {
      value = value * 10 + (file[pos] - '0');
      if (value > std::numeric_limits<std::uint32_t>::max()) {
        return Fail(error, name + " header with a number above 4294967295", PnmSupported);
      }
    }
  }
  if (pos >= file.size() || !IsPnmSpace(file[pos])) {
    return Fail(error, "truncated or malformed " + name + " header", PnmSupported);
  }
  ++pos;
  const std::uint64_t width = values[0], height = values[1], maxval = values[2];
  if (maxval != 255) {
    return Fail(error, name + " with maxval " + Num(maxval) + (maxval > 255 ? " (16-bit samples)" : ""),
                "maxval 255 (8-bit samples)");
  }
  if (width == 0 || height == 0) {
    return Fail(error, name + " of " + Num(width) + " x " + Num(height) + " pixels", "at least 1 x 1 pixels");
  }
  const unsigned channels = kind == '5' ? 1 : 3;
  image->format = name;
  if (!FitsEncoder(width, height, 8 * channels, name, error)) return false;
  const std::uint64_t rowBytes = width * channels;
  if (file.size() - pos < rowBytes * height) {
    return Fail(error,
                "truncated " + name + ": pixel data needs " + Num(rowBytes * height) + " bytes, file has " +
                    Num(file.size() - pos),
                CompleteFiles);
  }
  AllocatePixels(width, height, 8 * channels, image);
  const std::uint64_t outStride = DibRowStride(width, 8 * channels);
  for (std::uint64_t y = 0; y < height; ++y) {
    std::memcpy(&image->pixels[(height - 1 - y) * outStride], &file[pos + y * rowBytes], rowBytes);
  }
  image->channelOrder = 0;  // PPM pixels are red first
  return true;
}

}  // namespace

std::uint64_t DibRowStride(std::uint64_t width, unsigned bitCount) { return (width * bitCount + 31) / 32 * 4; }

bool ReadImage(const Bytes& file, Image* image, std::string* error) {
  if (file.empty()) return Fail(error, "empty input", FormatsSupported);
  if (file.size() >= 2 && file[0] == 'B' && file[1] == 'M') return ReadBmp(file, image, error);
  if (file.size() >= 2 && file[0] == 'P' && file[1] >= '1' && file[1] <= '7') return ReadPnm(file, image, error);
  std::string start;
  for (std::size_t i = 0; i < file.size() && i < 4; ++i) {
    char text[4];
    std::snprintf(text, sizeof text, "%s%02X", i ? " " : "", file[i]);
    start += text;
  }
  return Fail(error, "unrecognised input starting with bytes " + start, FormatsSupported);
}

void ConvertToGray(Image* image) {
  if (image->bitCount == 8) return;
  const bool blueFirst = image->channelOrder == 1;
  const unsigned bytesPerPixel = image->bitCount / 8u;
  const std::uint64_t inStride = DibRowStride(image->width, image->bitCount);
  const std::uint64_t outStride = DibRowStride(image->width, 8);
  std::vector<std::uint8_t> gray(outStride * image->height, 0);
  for (std::uint64_t r = 0; r < image->height; ++r) {
    for (std::uint64_t x = 0; x < image->width; ++x) {
      const std::uint8_t* p = &image->pixels[r * inStride + x * bytesPerPixel];
      int c0, c1, c2;  // channel values 0..255 in file order
      if (image->bitCount == 16) {
        const int v = p[0] | p[1] << 8;
        c0 = (v & 31) * 8;
        c1 = (v >> 5 & 31) * 8;
        c2 = (v >> 10 & 31) * 8;
      } else {
        c0 = p[0];
        c1 = p[1];
        c2 = p[2];
      }
      const int red = blueFirst ? c2 : c0, green = c1, blue = blueFirst ? c0 : c2;
      const int y = (77 * red + 150 * green + 29 * blue + 128) >> 8;
      gray[r * outStride + x] = static_cast<std::uint8_t>(y > 255 ? 255 : y);
    }
  }
  image->pixels.swap(gray);
  image->bitCount = 8;
  image->channelOrder = 0;
}

}  // namespace dibjpeg::cli
