// The density fields and the ICC profile segments of the JPEG the program
// writes.
#include "output/jpeg_metadata.h"

#include <algorithm>
#include <cstring>

namespace dibjpeg::cli {
namespace {

// The stream the library writes starts with SOI and an 18-byte APP0:
//   0  FF D8             SOI
//   2  FF E0 00 10       APP0, length 16
//   6  4A 46 49 46 00    "JFIF\0"
//  11  01 01             version 1.01
//  13  00                density unit: 0 aspect ratio, 1 dots per inch, 2 dots per cm
//  14  00 01 00 01       horizontal and vertical density
//  18  00 00             no thumbnail
constexpr std::uint8_t JfifStart[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00};
constexpr std::size_t JfifHeaderSize = 20;

// Each APP2 segment holds up to 65519 bytes of the profile:
//   FF E2, length (2 bytes, counting itself), "ICC_PROFILE\0",
//   sequence number (1-based), number of segments, profile bytes.
constexpr char IccMarker[] = "ICC_PROFILE";  // with its terminating zero: 12 bytes
constexpr std::size_t IccOverhead = 2 + 2 + sizeof IccMarker + 2;
constexpr std::size_t IccChunk = 65535 - 2 - sizeof IccMarker - 2;
static_assert(IccChunk == 65519);

// Reads one number of 1 to 65535 at `*at`.
bool ParseSide(const std::string& text, std::size_t* at, std::uint16_t* value) {
  std::uint32_t v = 0;
  const std::size_t start = *at;
  while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9' && *at - start < 6) {
    v = v * 10 + static_cast<std::uint32_t>(text[(*at)++] - '0');
  }
  if (*at == start || v == 0 || v > 65535) return false;
  *value = static_cast<std::uint16_t>(v);
  return true;
}

std::uint32_t Be32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

}  // namespace

bool ParseDensity(const std::string& text, Density* density) {
  std::size_t at = 0;
  Density d;
  if (!ParseSide(text, &at, &d.x)) return false;
  d.y = d.x;
  if (at < text.size() && text[at] == 'x' && (++at, !ParseSide(text, &at, &d.y))) return false;
  const std::string unit = text.substr(at);
  if (unit != "" && unit != "dpi" && unit != "dpcm") return false;
  d.unit = unit == "dpcm" ? 2 : 1;
  *density = d;
  return true;
}

bool SetDensity(std::span<std::uint8_t> jpeg, const Density& density) {
  if (jpeg.size() < JfifHeaderSize || std::memcmp(jpeg.data(), JfifStart, sizeof JfifStart) != 0) return false;
  const std::uint8_t fields[5] = {density.unit, std::uint8_t(density.x >> 8), std::uint8_t(density.x),
                                  std::uint8_t(density.y >> 8), std::uint8_t(density.y)};
  std::memcpy(jpeg.data() + 13, fields, sizeof fields);
  return true;
}

std::string CheckIccProfile(std::span<const std::uint8_t> profile, int components) {
  if (profile.size() < 132 || std::memcmp(profile.data() + 36, "acsp", 4) != 0) {
    return "not an ICC profile (no 'acsp' signature at byte 36)";
  }
  if (Be32(profile.data()) != profile.size()) {
    return "ICC profile of " + std::to_string(profile.size()) + " bytes whose header says " +
           std::to_string(Be32(profile.data()));
  }
  if (profile.size() > MaxIccProfile) {
    return "ICC profile of " + std::to_string(profile.size()) + " bytes; a JPEG holds at most " +
           std::to_string(MaxIccProfile);
  }
  const char* want = components == 1 ? "GRAY" : "RGB ";
  if (std::memcmp(profile.data() + 16, want, 4) != 0) {
    const std::string have(reinterpret_cast<const char*>(profile.data() + 16), 4);
    return "ICC profile for '" + have + "' data, not for the " + (components == 1 ? "gray" : "RGB") +
           " image being encoded";
  }
  return "";
}

std::uint64_t IccSegmentsSize(std::uint64_t size) {
  const std::uint64_t segments = (size + IccChunk - 1) / IccChunk;
  return size + segments * IccOverhead;
}

bool InsertIccSegments(std::span<const std::uint8_t> profile, std::span<std::uint8_t> jpeg) {
  if (profile.empty()) return true;
  const std::size_t room = IccSegmentsSize(profile.size());
  if (jpeg.size() < room + JfifHeaderSize || std::memcmp(jpeg.data() + room, JfifStart, sizeof JfifStart) != 0) {
    return false;
  }
  std::memmove(jpeg.data(), jpeg.data() + room, JfifHeaderSize);
  std::uint8_t* out = jpeg.data() + JfifHeaderSize;
  const std::size_t segments = (profile.size() + IccChunk - 1) / IccChunk;
  for (std::size_t i = 0; i < segments; ++i) {
    const std::size_t n = std::min(IccChunk, profile.size() - i * IccChunk);
    const std::size_t length = IccOverhead - 2 + n;
    const std::uint8_t head[4] = {0xFF, 0xE2, std::uint8_t(length >> 8), std::uint8_t(length)};
    std::memcpy(out, head, 4);
    std::memcpy(out + 4, IccMarker, sizeof IccMarker);
    out[4 + sizeof IccMarker] = static_cast<std::uint8_t>(i + 1);
    out[5 + sizeof IccMarker] = static_cast<std::uint8_t>(segments);
    std::memcpy(out + IccOverhead, profile.data() + i * IccChunk, n);
    out += IccOverhead + n;
  }
  return true;
}

}  // namespace dibjpeg::cli
