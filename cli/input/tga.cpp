// TGA files: colour-mapped (types 1 and 9, 8-bit indexes into a colour map
// of 15-, 16-, 24- or 32-bit entries), true colour (2 and 10, 15,
// 16, 24 or 32 bits) and gray (3 and 11, 8 bits, or 16 with alpha), raw or
// run-length coded, rows from the bottom or the top, pixels left to right or
// right to left. Gray images and colour maps whose entries are all gray
// become 8-bit gray, the rest 24-bit blue first. The attribute bits (alpha:
// the fourth byte at 32 bits, the top bit at 16, the second byte of 16-bit
// gray) count when the header declares them, and only with --background
// white, which composites the image on white. Run-length packets may cross
// rows. The extension area (gamma, aspect ratio) is not read: it sits after
// the pixels, found through a footer at the end of the file.
#include <algorithm>
#include <array>
#include <cstring>

#include "input/formats.h"

namespace dibjpeg::cli {
namespace {

std::uint32_t Le16(const std::uint8_t* p) { return p[0] | p[1] << 8; }

// Header, 18 bytes, little-endian:
//   0 1 ID length          5 2 colour-map length      12 2 width
//   1 1 colour-map type    7 1 colour-map entry bits  14 2 height
//   2 1 image type         8 2 x origin               16 1 bits per pixel
//   3 2 first map index   10 2 y origin               17 1 descriptor: bits 0-3 attribute
//                                                          bits, 4 right to left, 5 top first
struct Tga {
  unsigned type = 0, bits = 0, bytes = 0, alphaBits = 0;
  unsigned mapFirst = 0, mapLength = 0, mapBits = 0;
  std::uint64_t width = 0, height = 0;
  bool rle = false, topDown = false, rightToLeft = false;
  unsigned kind() const { return type & 7; }  // 1 colour-mapped, 2 true colour, 3 gray
};

Tga Parse(const std::uint8_t* h) {
  Tga t;
  t.type = h[2];
  t.rle = t.type >= 9;
  t.mapFirst = Le16(h + 3), t.mapLength = Le16(h + 5), t.mapBits = h[7];
  t.width = Le16(h + 12), t.height = Le16(h + 14);
  t.bits = h[16], t.bytes = (t.bits + 7) / 8;
  t.alphaBits = h[17] & 15;
  t.rightToLeft = (h[17] & 0x10) != 0;
  t.topDown = (h[17] & 0x20) != 0;
  return t;
}

bool OneOf(unsigned v, std::initializer_list<unsigned> set) {
  return std::find(set.begin(), set.end(), v) != set.end();
}

// B, G, R, A of a 15- or 16-bit pixel, 5-bit channels scaled with rounding
// (as for BMP; ImageMagick and Pillow cut v x 255 / 31 down).
std::array<std::uint8_t, 4> From16(std::uint32_t v, bool alpha) {
  const auto five = [](std::uint32_t c) { return static_cast<std::uint8_t>(((c & 31) * 255 + 15) / 31); };
  return {five(v), five(v >> 5), five(v >> 10), std::uint8_t(alpha && (v & 0x8000) == 0 ? 0 : 255)};
}

// The run-length or raw pixel stream, a row at a time; packets may run on
// into the next row.
class Pixels {
 public:
  Pixels(const Tga& t, Source* source) : t_(t), source_(source) {}
  bool Row(std::uint8_t* out) {
    if (!t_.rle) return ReadBytes(source_, out, t_.width * t_.bytes) == t_.width * t_.bytes;
    for (std::uint64_t x = 0; x < t_.width; ++x, --left_) {
      if (left_ == 0) {
        const int packet = GetByte(source_);
        if (packet < 0) return false;
        left_ = (packet & 0x7F) + 1;
        repeat_ = (packet & 0x80) != 0;
        if (repeat_ && ReadBytes(source_, value_, t_.bytes) != t_.bytes) return false;
      }
      if (repeat_) {
        std::memcpy(out + x * t_.bytes, value_, t_.bytes);
      } else if (ReadBytes(source_, out + x * t_.bytes, t_.bytes) != t_.bytes) {
        return false;
      }
    }
    return true;
  }

 private:
  const Tga& t_;
  Source* source_;
  unsigned left_ = 0;  // pixels left in the current packet
  bool repeat_ = false;
  std::uint8_t value_[4] = {};
};

}  // namespace

bool LooksLikeTga(const std::uint8_t* h, std::size_t size) {
  if (size < 18 || h[1] > 1 || !OneOf(h[2], {1, 2, 3, 9, 10, 11}) || (h[17] & 0xC0) != 0) return false;
  const Tga t = Parse(h);
  if (t.width == 0 || t.height == 0) return false;
  if (h[1] == 1 ? !OneOf(t.mapBits, {15, 16, 24, 32}) || t.mapLength == 0
                : t.kind() == 1 || (h[3] | h[4] | h[5] | h[6] | h[7]) != 0) {
    return false;
  }
  return t.kind() == 2 ? OneOf(t.bits, {15, 16, 24, 32}) : OneOf(t.bits, {8, 16});  // 16-bit indexes refused later
}

bool ReadTga(Source* source, const std::uint8_t* header, const ReadOptions& options, Image* image,
             std::string* error) {
  const Tga t = Parse(header);
  const unsigned mapEntryBytes = (t.mapBits + 7) / 8;
  const std::uint64_t mapBytes = header[1] == 1 ? std::uint64_t(t.mapLength) * mapEntryBytes : 0;
  const bool alpha = options.whiteBackground && t.alphaBits > 0;
  const char* kinds[] = {"", "colour-mapped", "true colour", "gray"};
  image->format = "TGA " + Num(t.bits) + "-bit " + kinds[t.kind()] +
                  (t.kind() == 1 ? " (" + Num(t.mapBits) + "-bit map)" : "") + (t.rle ? " RLE" : "") +
                  (t.topDown ? " top-down" : "") + (t.rightToLeft ? " right-to-left" : "");
  image->channelOrder = 1;
  const auto truncated = [&](const std::string& what) {
    return Refuse(error, "truncated TGA: " + Num(source->position) + " bytes, shorter than its " + what,
                  "complete files");
  };
  if (t.kind() == 1 && t.bits != 8) {
    return Refuse(error, image->format + " with " + Num(t.bits) + "-bit indexes", "8-bit colour-map indexes");
  }
  if (!SkipBytes(source, header[0])) return truncated("image ID");

  // The colour map as B, G, R, A; 16-bit entries carry alpha in their top bit.
  std::vector<std::array<std::uint8_t, 4>> map(t.kind() == 1 ? t.mapLength : 0);
  bool gray = t.kind() == 3;
  if (t.kind() == 1) {
    gray = true;
    for (auto& entry : map) {
      std::uint8_t e[4] = {0, 0, 0, 255};
      if (ReadBytes(source, e, mapEntryBytes) != mapEntryBytes) return truncated("colour map");
      entry = mapEntryBytes == 2 ? From16(Le16(e), alpha && t.mapBits == 16) : std::array{e[0], e[1], e[2], e[3]};
      if (!alpha) entry[3] = 255;
      gray = gray && entry[0] == entry[1] && entry[1] == entry[2];
    }
  } else if (!SkipBytes(source, mapBytes)) {
    return truncated("colour map");
  }

  const unsigned outBits = gray ? 8 : 24;
  const std::uint64_t dataEnd = t.rle ? 0 : source->position + t.width * t.height * t.bytes;
  if (!AllocatePixels(*source, options, t.width, t.height, outBits, dataEnd, image, error)) return false;
  const std::uint64_t stride = DibRowStride(t.width, outBits);
  std::vector<std::uint8_t> row(t.width * t.bytes);
  Pixels pixels(t, source);
  // 24-bit colour and 8-bit gray, left to right, are stored as the encoder
  // takes them: read straight into their rows.
  const bool straight = !t.rightToLeft && ((t.kind() == 2 && t.bytes == 3) || (t.kind() == 3 && t.bits == 8));
  if (straight && !t.rle) {
    const std::int64_t step = t.topDown ? -std::int64_t(stride) : std::int64_t(stride);
    if (!ReadRowRun(source, &image->pixels[t.topDown ? (t.height - 1) * stride : 0], step, t.height, row.size())) {
      return RefuseTruncated(error, image->format, dataEnd, source->position);
    }
    return true;
  }
  for (std::uint64_t r = 0; r < t.height; ++r) {
    std::uint8_t* out = &image->pixels[(t.topDown ? t.height - 1 - r : r) * stride];
    if (!pixels.Row(straight ? out : row.data())) {
      if (!t.rle) return RefuseTruncated(error, image->format, dataEnd, source->position);
      return Refuse(error, "truncated TGA: run-length data ends at byte " + Num(source->position) + " in row " +
                               Num(r + 1) + " of " + Num(t.height),
                    "complete files");
    }
    if (straight) continue;
    for (std::uint64_t i = 0; i < t.width; ++i) {
      const std::uint8_t* p = &row[i * t.bytes];
      const std::uint64_t x = t.rightToLeft ? t.width - 1 - i : i;
      std::array<std::uint8_t, 4> bgra;
      if (t.kind() == 1) {
        const unsigned index = p[0];
        if (index < t.mapFirst || index - t.mapFirst >= t.mapLength) {
          return Refuse(error,
                        "TGA pixel index " + Num(index) + " outside its colour map (entries " + Num(t.mapFirst) +
                            " to " + Num(t.mapFirst + t.mapLength - 1) + ")",
                        "indexes within the colour map");
        }
        bgra = map[index - t.mapFirst];
      } else if (t.kind() == 3) {
        bgra = {p[0], p[0], p[0], std::uint8_t(alpha && t.bits == 16 ? p[1] : 255)};
      } else if (t.bytes == 2) {
        bgra = From16(Le16(p), alpha && t.bits == 16);
      } else {
        bgra = {p[0], p[1], p[2], std::uint8_t(alpha && t.bytes == 4 ? p[3] : 255)};
      }
      if (gray) {
        out[x] = OnWhite(bgra[0], bgra[3]);
      } else {
        for (int c = 0; c < 3; ++c) out[3 * x + c] = OnWhite(bgra[c], bgra[3]);
      }
    }
  }
  return true;
}

}  // namespace dibjpeg::cli
