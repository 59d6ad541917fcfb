// BMP files into the encoder's layouts. Pixels the encoder reads as they are
// (24-bit and 32-bit BGRX) are read straight into place; palette images
// become 8-bit gray when every entry is gray and 24-bit otherwise, and any
// other bit fields (16-bit 5-5-5 among them) become 24-bit, each channel
// scaled to 0..255, composited on white when asked and the file has alpha
// (in 32-bit BI_RGB files, a fourth byte that is not 0 throughout).
// The resolution and an embedded ICC profile (V5 header) go with the pixels.
#include <algorithm>
#include <cstring>

#include "input/formats.h"

namespace dibjpeg::cli {
namespace {

constexpr std::uint32_t BiRgb = 0, BiRle8 = 1, BiRle4 = 2, BiBitfields = 3, BiAlphaBitfields = 6;
constexpr std::uint32_t ProfileEmbedded = 0x4D424544;  // V5 colour space type 'MBED'

std::uint32_t Le16(const std::uint8_t* p) { return p[0] | p[1] << 8; }
std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

std::string Hex(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", v);
  return text;
}

const char* CompressionName(std::uint32_t compression, bool os2) {
  switch (compression) {
    case 1: return "RLE8";
    case 2: return "RLE4";
    case 3: return os2 ? "Huffman 1D" : "BI_BITFIELDS";
    case 4: return os2 ? "RLE24" : "JPEG";
    case 5: return "PNG";
    case 6: return "ALPHABITFIELDS";
    case 11: return "CMYK";
    case 12: return "CMYKRLE8";
    case 13: return "CMYKRLE4";
    default: return "unknown";
  }
}

// One channel of a bit-field pixel and its widening to 8 bits, v x 255 /
// max rounded: a 5-bit 31 becomes 255. Fields up to 16 bits wide widen
// through a table.
struct Field {
  unsigned shift = 0;
  unsigned bits = 0;
  std::uint32_t max = 0;  // the mask shifted down: all ones
  std::vector<std::uint8_t> table;  // value -> 0..255, when max <= 0xFFFF
};

// False unless the mask is one run of set bits.
bool MakeField(std::uint32_t mask, Field* field) {
  if (mask == 0) return false;
  while ((mask >> field->shift & 1) == 0) ++field->shift;
  field->max = mask >> field->shift;
  if ((field->max & (std::uint64_t(field->max) + 1)) != 0) return false;
  for (std::uint32_t m = field->max; m != 0; m >>= 1) ++field->bits;
  if (field->max <= 0xFFFF) {
    for (std::uint32_t v = 0; v <= field->max; ++v) {
      field->table.push_back(static_cast<std::uint8_t>((v * 255 + field->max / 2) / field->max));
    }
  }
  return true;
}

std::uint8_t Widen(std::uint32_t pixel, const Field& f) {
  const std::uint32_t v = pixel >> f.shift & f.max;
  if (!f.table.empty()) return f.table[v];
  return static_cast<std::uint8_t>((std::uint64_t(v) * 255 + f.max / 2) / f.max);
}

// How each file row becomes an output row.
enum class Layout { Direct, Palette, Fields };

struct Bmp {
  std::uint64_t width = 0, rows = 0;
  unsigned bits = 0;
  bool topDown = false;
  Layout layout = Layout::Direct;
  unsigned outBits = 0;
  std::uint8_t palette[256][3] = {};  // B, G, R
  std::uint32_t paletteSize = 0;
  bool grayPalette = true;
  Field fields[3];  // red, green, blue
  Field alpha;      // used when alpha.max != 0: composite on white
};

bool RefuseIndex(const Bmp& bmp, unsigned index, std::string* error) {
  return Refuse(error,
                "BMP pixel index " + Num(index) + " beyond its " + Num(bmp.paletteSize) + "-entry palette",
                "indexes within the palette");
}

// Writes palette entry `index` as pixel x of an output row.
bool PutIndex(const Bmp& bmp, unsigned index, std::uint64_t x, std::uint8_t* out, std::string* error) {
  if (index >= bmp.paletteSize) return RefuseIndex(bmp, index, error);
  if (bmp.grayPalette) {
    out[x] = bmp.palette[index][0];
  } else {
    std::memcpy(out + 3 * x, bmp.palette[index], 3);
  }
  return true;
}

bool ConvertRow(const Bmp& bmp, const std::uint8_t* in, std::uint8_t* out, std::string* error) {
  for (std::uint64_t x = 0; x < bmp.width; ++x) {
    if (bmp.layout == Layout::Palette) {
      const std::uint64_t bit = x * bmp.bits;
      const unsigned index = in[bit / 8] >> (8 - bmp.bits - bit % 8) & ((1u << bmp.bits) - 1);
      if (!PutIndex(bmp, index, x, out, error)) return false;
    } else {
      const std::uint32_t pixel = bmp.bits == 16 ? Le16(in + 2 * x) : Le32(in + 4 * x);
      const unsigned a = bmp.alpha.max != 0 ? Widen(pixel, bmp.alpha) : 255;
      for (int c = 0; c < 3; ++c) {
        const unsigned v = Widen(pixel, bmp.fields[2 - c]);
        out[3 * x + c] = static_cast<std::uint8_t>(a == 255 ? v : (v * a + 255 * (255 - a) + 127) / 255);
      }
    }
  }
  return true;
}

std::uint8_t* OutRow(const Bmp& bmp, std::uint64_t fileRow, Image* image) {
  const std::uint64_t row = bmp.topDown ? bmp.rows - 1 - fileRow : fileRow;
  return &image->pixels[row * DibRowStride(bmp.width, bmp.outBits)];
}

bool ReadRows(const Bmp& bmp, Source* source, std::uint64_t dataEnd, Image* image, std::string* error) {
  const std::uint64_t inStride = DibRowStride(bmp.width, bmp.bits);
  const std::uint64_t rowBytes = (bmp.width * bmp.bits + 7) / 8;
  // The last row in the file needs only its pixel bytes, not its padding.
  if (bmp.layout == Layout::Direct) {
    const std::int64_t step = bmp.topDown ? -std::int64_t(inStride) : std::int64_t(inStride);
    if (!ReadRowRun(source, OutRow(bmp, 0, image), step, bmp.rows - 1, inStride) ||
        !ReadRowRun(source, OutRow(bmp, bmp.rows - 1, image), 0, 1, rowBytes)) {
      return RefuseTruncated(error, image->format, dataEnd, source->position);
    }
    return true;
  }
  std::vector<std::uint8_t> row(inStride);
  for (std::uint64_t r = 0; r < bmp.rows; ++r) {
    const std::uint64_t padding = r + 1 == bmp.rows ? 0 : inStride - rowBytes;
    if (ReadBytes(source, row.data(), rowBytes) != rowBytes || !SkipBytes(source, padding)) {
      return RefuseTruncated(error, image->format, dataEnd, source->position);
    }
    if (!ConvertRow(bmp, row.data(), OutRow(bmp, r, image), error)) return false;
  }
  return true;
}

// Run-length data: a count byte and a value byte repeat that value (RLE8) or
// alternate its two nibbles (RLE4); a zero count byte is an escape: 0 end of
// line, 1 end of bitmap, 2 a move right and up by the next two bytes, larger
// values a literal run of that many pixels padded to an even byte count.
// Pixels the data skips keep palette entry 0; pixels beyond the width are
// dropped.
//
// The data only moves forward through the rows (file order), so the skipped
// pixels are filled lazily: up to each pixel the data gives, and after the
// end mark the rest. Data that ends early is refused before any filling, and
// an entry 0 of zero bytes needs none, the buffer being zeroed already.
class RleFill {
 public:
  RleFill(const Bmp& bmp, Image* image) : bmp_(bmp), image_(image) {
    needed_ = bmp.paletteSize > 0 && (bmp.palette[0][0] | bmp.palette[0][1] | bmp.palette[0][2]) != 0;
  }

  // Gives entry 0 to the pixels from the first not given yet up to, not
  // including, pixel x of file row y.
  void To(std::uint64_t x, std::uint64_t y) {
    while (needed_ && row_ < bmp_.rows && (row_ < y || x_ < x)) {
      const bool wholeRow = row_ < y;
      const std::uint64_t end = wholeRow ? bmp_.width : std::min(x, bmp_.width);
      std::uint8_t* out = OutRow(bmp_, row_, image_);
      for (; x_ < end; ++x_) PutIndex(bmp_, 0, x_, out, nullptr);  // entry 0 exists: no error
      if (!wholeRow) return;
      ++row_;
      x_ = 0;
    }
  }
  // Pixel x of file row y was given.
  void Given(std::uint64_t x, std::uint64_t y) { row_ = y, x_ = x + 1; }

 private:
  const Bmp& bmp_;
  Image* image_;
  bool needed_;
  std::uint64_t row_ = 0, x_ = 0;  // the first pixel not given yet, in file order
};

bool ReadRle(const Bmp& bmp, Source* source, Image* image, std::string* error) {
  RleFill fill(bmp, image);
  std::uint64_t x = 0, y = 0;
  auto put = [&](unsigned index) {
    const bool inside = x < bmp.width && y < bmp.rows;
    if (inside) fill.To(x, y);
    const bool ok = !inside || PutIndex(bmp, index, x, OutRow(bmp, y, image), error);
    if (inside) fill.Given(x, y);
    ++x;
    return ok;
  };
  for (;;) {
    const int count = GetByte(source), value = GetByte(source);
    if (value < 0) break;
    if (count > 0) {
      for (int i = 0; i < count; ++i) {
        const unsigned index = bmp.bits == 8 ? value : (i % 2 == 0 ? value >> 4 : value & 15);
        if (!put(index)) return false;
      }
    } else if (value == 0) {
      x = 0;
      ++y;
    } else if (value == 1) {
      fill.To(0, bmp.rows);
      return true;
    } else if (value == 2) {
      const int dx = GetByte(source), dy = GetByte(source);
      if (dy < 0) break;
      x += dx;
      y += dy;
    } else {
      const int bytes = bmp.bits == 8 ? value : (value + 1) / 2;
      std::uint8_t literal[256];
      if (ReadBytes(source, literal, bytes + bytes % 2) != std::size_t(bytes + bytes % 2)) break;
      for (int i = 0; i < value; ++i) {
        const unsigned index = bmp.bits == 8 ? literal[i] : (i % 2 == 0 ? literal[i / 2] >> 4 : literal[i / 2] & 15);
        if (!put(index)) return false;
      }
    }
  }
  if (y >= bmp.rows) {  // every row given, only the end mark missing
    fill.To(0, bmp.rows);
    return true;
  }
  return Refuse(error, "truncated BMP: " + std::string(bmp.bits == 8 ? "RLE8" : "RLE4") + " data ends at byte " +
                           Num(source->position) + " in row " + Num(y + 1) + " of " + Num(bmp.rows),
                "complete files");
}

// The fourth byte of a 32-bit BI_RGB pixel is unused by the format, but
// writers of RGBA images put alpha there. It is composited as alpha unless
// it is 0 in every pixel, the unused byte as the format has it (255 in
// every pixel composites to the same colours). The pixels are already in
// place, 4 bytes each with no row padding.
void CompositeFourthByte(Image* image) {
  std::uint8_t* p = image->pixels.get();
  std::uint64_t i = 3;
  while (i < image->size && p[i] == 0) i += 4;
  if (i >= image->size) return;
  MakeWritable(image->pixels);
  for (i = 0; i < image->size; i += 4) {
    const unsigned a = p[i + 3];
    for (int c = 0; c < 3; ++c) p[i + c] = static_cast<std::uint8_t>((p[i + c] * a + 255 * (255 - a) + 127) / 255);
  }
}

// Reads `size` bytes of ICC profile at file offset `start`, at or after the
// current position.
bool ReadProfile(Source* source, std::uint64_t start, std::uint64_t size, Image* image, std::string* error) {
  if (source->size != UINT64_MAX && start + size > source->size) {
    return Refuse(error, "truncated BMP: colour profile ends at byte " + Num(start + size) + ", file has " +
                             Num(source->size),
                  "complete files");
  }
  image->iccProfile.resize(size);
  if (!SkipBytes(source, start - source->position) || ReadBytes(source, image->iccProfile.data(), size) != size) {
    return Refuse(error, "truncated BMP: colour profile ends at byte " + Num(start + size) + ", file has " +
                             Num(source->position),
                  "complete files");
  }
  return true;
}

}  // namespace

// File header (14 bytes) then info header, all little-endian:
//   file  0  2  "BM"           info  4  4  width (> 0)
//   file 10  4  pixel offset   info  8  4  height (< 0: top-down rows)
//   info  0  4  header size    info 12  2  planes (1)
//                              info 14  2  bits per pixel
//                              info 16  4  compression
//                              info 24  4  horizontal pixels per metre
//                              info 28  4  vertical pixels per metre
//                              info 32  4  palette entries (0: 2^bits)
// V5 header:  info 56  4  colour space type ('MBED': embedded profile)
//             info 112 4  profile offset from the info header
//             info 116 4  profile size
// The 12-byte OS/2 header holds 16-bit width, height, planes and bits, and
// its palette entries take 3 bytes (B, G, R) instead of 4 (B, G, R, 0). The
// OS/2 2.x header (16 or 64 bytes) is laid out like the 40-byte one.
// Colour masks follow a 40-byte header, or sit at info 40 in the longer ones;
// the palette follows the header and any masks.
bool ReadBmp(Source* source, const ReadOptions& options, Image* image, std::string* error) {
  const auto truncatedHeaders = [&] {
    return Refuse(error, "truncated BMP: " + Num(source->position) + " bytes, shorter than its headers",
                  "complete files");
  };
  std::uint8_t head[12 + 124] = {};  // the rest of the file header, then the info header
  if (ReadBytes(source, head, 16) != 16) return truncatedHeaders();
  const std::uint32_t pixelOffset = Le32(head + 8);
  const std::uint32_t infoSize = Le32(head + 12);
  if (infoSize != 12 && infoSize != 16 && infoSize != 40 && infoSize != 52 && infoSize != 56 && infoSize != 64 &&
      infoSize != 108 && infoSize != 124) {
    return Refuse(error, "BMP with a " + Num(infoSize) + "-byte info header",
                  "BMP info headers of 12 and 64 (OS/2), 16, 40, 52, 56, 108 (V4) and 124 (V5) bytes");
  }
  std::uint8_t* info = head + 12;
  if (ReadBytes(source, info + 4, infoSize - 4) != infoSize - 4) return truncatedHeaders();
  const bool os2Core = infoSize == 12, os2 = os2Core || infoSize == 16 || infoSize == 64;

  Bmp bmp;
  const std::int64_t width = os2Core ? std::int64_t(Le16(info + 4)) : std::int64_t(std::int32_t(Le32(info + 4)));
  const std::int64_t height = os2Core ? std::int64_t(Le16(info + 6)) : std::int64_t(std::int32_t(Le32(info + 8)));
  const std::uint32_t planes = os2Core ? Le16(info + 8) : Le16(info + 12);
  bmp.bits = os2Core ? Le16(info + 10) : Le16(info + 14);
  const std::uint32_t compression = os2Core ? BiRgb : Le32(info + 16);
  const std::uint32_t paletteUsed = os2Core ? 0 : Le32(info + 32);

  if (planes != 1) return Refuse(error, "BMP with " + Num(planes) + " planes", "BMP with 1 plane");
  if (width <= 0 || height == 0) {
    return Refuse(error, "BMP of width " + std::to_string(width) + " and height " + std::to_string(height),
                  "width above 0 and height other than 0 (negative for top-down rows)");
  }
  // The compression first: a BMP holding a JPEG or PNG image has 0 bits per pixel.
  const bool rle = compression == BiRle8 || compression == BiRle4;
  const bool bitfields = !os2 && (compression == BiBitfields || compression == BiAlphaBitfields);
  constexpr char CompressionsSupported[] =
      "uncompressed BMP (BI_RGB), RLE8 at 8 bits, RLE4 at 4 bits, and BI_BITFIELDS at 16, 24 and 32 bits";
  const std::string compressionText =
      std::string(CompressionName(compression, os2)) + " compression (type " + Num(compression) + ")";
  if (compression != BiRgb && !rle && !bitfields) {
    return Refuse(error, "BMP with " + compressionText, CompressionsSupported);
  }
  const unsigned bits = bmp.bits;
  if (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) {
    return Refuse(error, "BMP with " + BitsPerPixel(bits), "BMP with 1, 2, 4, 8, 16, 24 or 32 bits per pixel");
  }
  if ((compression == BiRle8 && bits != 8) || (compression == BiRle4 && bits != 4) || (bitfields && bits < 16) ||
      (compression == BiAlphaBitfields && bits == 24)) {
    return Refuse(error, "BMP " + Num(bits) + "-bit with " + compressionText, CompressionsSupported);
  }

  // Colour masks: red, green, blue, alpha (in the V4 and V5 headers, or
  // after the 40-byte one with ALPHABITFIELDS).
  std::uint32_t masks[4] = {0x7C00, 0x3E0, 0x1F, 0};
  if (bits > 16) masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
  if (bitfields) {
    const std::uint8_t* at = info + 40;
    std::uint8_t trailing[16];
    if (infoSize == 40) {
      const std::size_t size = compression == BiAlphaBitfields ? 16 : 12;
      if (ReadBytes(source, trailing, size) != size) {
        return Refuse(error, "truncated BMP: " + Num(source->position) + " bytes, shorter than its colour masks",
                      "complete files");
      }
      at = trailing;
    }
    for (int c = 0; c < 3; ++c) masks[c] = Le32(at + 4 * c);
    if (compression == BiAlphaBitfields || infoSize >= 56) masks[3] = Le32(at + 12);
  }
  // Alpha counts only when it is composited, and only from a mask of one
  // run of bits beside the colours.
  const bool alpha = options.whiteBackground && (bits == 32 || (bits == 16 && masks[3] <= 0xFFFF)) &&
                     (masks[3] & (masks[0] | masks[1] | masks[2])) == 0 && MakeField(masks[3], &bmp.alpha);
  if (!alpha) bmp.alpha = Field{};

  std::string variant;
  if (bits <= 8) {
    bmp.layout = Layout::Palette;
  } else if (bits > 16 && !alpha && masks[0] == 0xFF0000 && masks[1] == 0xFF00 && masks[2] == 0xFF) {
  } else {
    bmp.layout = Layout::Fields;
    bool ok = bits != 24 && (bits == 32 || (masks[0] | masks[1] | masks[2]) <= 0xFFFF);
    for (int c = 0; c < 3; ++c) ok = ok && MakeField(masks[c], &bmp.fields[c]);
    if (!ok) {
      return Refuse(error,
                    "BMP " + Num(bits) + "-bit with masks red " + Hex(masks[0]) + " green " + Hex(masks[1]) +
                        " blue " + Hex(masks[2]),
                    "at 16 and 32 bits, masks of one run of bits each; at 24 bits red 0xFF0000 green 0xFF00 blue 0xFF");
    }
    variant = " " + Num(bmp.fields[0].bits) + "-" + Num(bmp.fields[1].bits) + "-" + Num(bmp.fields[2].bits);
    if (alpha) variant += "-" + Num(bmp.alpha.bits) + " alpha";
  }

  if (pixelOffset < source->position) {
    return Refuse(error, "BMP whose pixel data offset " + Num(pixelOffset) + " lies inside its headers",
                  "pixel data after the headers");
  }
  if (bmp.layout == Layout::Palette) {
    bmp.paletteSize = paletteUsed != 0 ? paletteUsed : 1u << bits;
    if (bmp.paletteSize > 256) {
      return Refuse(error, "BMP " + Num(bits) + "-bit with a " + Num(bmp.paletteSize) + "-entry palette",
                    "palettes of up to 256 entries");
    }
    // Old files may hold fewer entries than 2^bits before the pixels.
    const unsigned entrySize = os2Core ? 3 : 4;
    const std::uint64_t room = (pixelOffset - source->position) / entrySize;
    if (room < bmp.paletteSize) bmp.paletteSize = static_cast<std::uint32_t>(room);
    for (std::uint32_t i = 0; i < bmp.paletteSize; ++i) {
      std::uint8_t entry[4];
      if (ReadBytes(source, entry, entrySize) != entrySize) {
        return Refuse(error, "truncated BMP: " + Num(source->position) + " bytes, shorter than its palette",
                      "complete files");
      }
      std::memcpy(bmp.palette[i], entry, 3);
      bmp.grayPalette = bmp.grayPalette && entry[0] == entry[1] && entry[1] == entry[2];
    }
    variant = bmp.grayPalette ? " gray palette" : " colour palette";
  }

  bmp.topDown = height < 0;
  bmp.width = std::uint64_t(width);
  bmp.rows = bmp.topDown ? std::uint64_t(-height) : std::uint64_t(height);
  bmp.outBits = bmp.layout == Layout::Direct ? bits : bmp.layout == Layout::Fields || !bmp.grayPalette ? 24 : 8;
  image->format = "BMP " + Num(bits) + "-bit" + variant + (rle ? compression == BiRle8 ? " RLE8" : " RLE4" : "") +
                  (os2 ? " OS/2" : "") + (bmp.topDown ? " top-down" : "");
  image->channelOrder = 1;  // BMP pixels are blue first, 16-bit blue in bits 0-4

  if (infoSize >= 40) image->density = DensityFromPerMetre(Le32(info + 24), Le32(info + 28));
  // A V5 header may point at an embedded ICC profile (offset from the info
  // header), stored before or after the pixel data.
  std::uint64_t profileStart = 0, profileSize = 0;
  if (infoSize == 124 && Le32(info + 56) == ProfileEmbedded) {
    profileStart = 14 + std::uint64_t(Le32(info + 112));
    profileSize = Le32(info + 116);
    if (profileSize > MaxIccProfile) {  // not read at all
      image->iccLeftOut = "ICC profile of " + Num(profileSize) + " bytes; a JPEG holds at most " + Num(MaxIccProfile);
      profileSize = 0;
    }
  }

  const std::uint64_t dataEnd =
      rle ? 0 : pixelOffset + (bmp.rows - 1) * DibRowStride(bmp.width, bits) + (bmp.width * bits + 7) / 8;
  if (!AllocatePixels(*source, options, bmp.width, bmp.rows, bmp.outBits, dataEnd, image, error)) return false;
  const bool profileFirst = profileStart >= source->position && profileStart + profileSize <= pixelOffset;
  if (profileSize != 0 && profileFirst && !ReadProfile(source, profileStart, profileSize, image, error)) return false;
  if (!SkipBytes(source, pixelOffset - source->position)) {
    return Refuse(error, "truncated BMP: pixel data offset " + Num(pixelOffset) + " lies beyond its " +
                             Num(source->position) + " bytes",
                  "complete files");
  }
  // Bottom-up rows the encoder takes as they are stored are mapped, not
  // read: 24-bit, 32-bit BGRX, and 8-bit indexes into the 256 grays in order.
  bool asStored = !rle && !bmp.topDown && (bmp.layout == Layout::Direct || (bits == 8 && bmp.paletteSize == 256));
  for (unsigned i = 0; asStored && bmp.layout == Layout::Palette && i < 256; ++i) {
    asStored = bmp.palette[i][0] == i && bmp.palette[i][1] == i && bmp.palette[i][2] == i;
  }
  const bool mapped = asStored && MapRows(source, dataEnd, image);
  if (!mapped && !(rle ? ReadRle(bmp, source, image, error) : ReadRows(bmp, source, dataEnd, image, error))) {
    return false;
  }
  if (options.whiteBackground && compression == BiRgb && bits == 32) CompositeFourthByte(image);
  if (profileSize == 0 || profileFirst) return true;
  if (profileStart < source->position) {
    return Refuse(error,
                  "BMP whose colour profile at byte " + Num(profileStart) + " overlaps its headers or pixel data",
                  "profiles after the headers, apart from the pixel data");
  }
  return ReadProfile(source, profileStart, profileSize, image, error);
}

}  // namespace dibjpeg::cli
