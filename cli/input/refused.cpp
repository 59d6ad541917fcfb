// Formats the program does not read, named from their first bytes so that a
// refusal says what the file is.
#include <cstring>
#include <string_view>

#include "input/formats.h"

namespace dibjpeg::cli {
namespace {

using namespace std::string_view_literals;

struct Signature {
  std::size_t offset;
  std::string_view bytes;  // a literal with "sv", so that it may hold zero bytes
  const char* name;
};

// Fixed byte strings at fixed offsets, checked in order.
constexpr Signature Signatures[] = {
    {0, "8BPS\0\1"sv, "PSD (Photoshop) image"},
    {0, "8BPS\0\2"sv, "PSB (Photoshop large document) image"},
    {0, "\0\0\0\x0CjP  \r\n\x87\n"sv, "JPEG 2000 image (JP2)"},
    {0, "\xFF\x4F\xFF\x51"sv, "JPEG 2000 codestream"},
    {0, "\xFF\x0A"sv, "JPEG XL image"},
    {0, "\0\0\0\x0CJXL \r\n\x87\n"sv, "JPEG XL image"},
    {0, "%PDF-"sv, "PDF document"},
    {0, "%!"sv, "PostScript document"},
    {0, "\xC5\xD0\xD3\xC6"sv, "EPS (Encapsulated PostScript) file with a preview"},
    {0, "gimp xcf "sv, "XCF (GIMP) image"},
    {0, "<svg"sv, "SVG drawing"},
    {0, "<?xml"sv, "XML document (an SVG drawing, say)"},
    {0, "\xEF\xBB\xBF<?xml"sv, "XML document (an SVG drawing, say)"},
    {0, "\x76\x2F\x31\x01"sv, "OpenEXR image"},
    {0, "DDS "sv, "DDS (DirectDraw Surface) texture"},
    {0, "qoif"sv, "QOI image"},
    {0, "farbfeld"sv, "farbfeld image"},
    {0, "#?RADIANCE"sv, "Radiance HDR image"},
    {0, "#?RGBE"sv, "Radiance HDR image"},
    {0, "PF\n"sv, "PFM (floating-point PNM) image"},
    {0, "Pf\n"sv, "PFM (floating-point PNM) image"},
    {0, "/* XPM */"sv, "XPM image"},
    {0, "#define "sv, "XBM image"},
    {0, "\x8AMNG\r\n\x1A\n"sv, "MNG animation"},
    {0, "\x8BJNG\r\n\x1A\n"sv, "JNG image"},
    {0, "BPG\xFB"sv, "BPG image"},
    {0, "FLIF"sv, "FLIF image"},
    {0, "\x59\xA6\x6A\x95"sv, "Sun raster image"},
    {0, "SDPX"sv, "DPX image"},
    {0, "XPDS"sv, "DPX image"},
    {0, "\x80\x2A\x5F\xD7"sv, "Cineon image"},
    {0, "SIMPLE  ="sv, "FITS image"},
    {0, "AT&TFORM"sv, "DjVu document"},
    {0, "\xD7\xCD\xC6\x9A"sv, "WMF (Windows metafile) drawing"},
    {0, "\x1F\x8B"sv, "gzip-compressed file"},
    {0, "BZh"sv, "bzip2-compressed file"},
    {0, "\xFD" "7zXZ"sv, "xz-compressed file"},
    {0, "\x28\xB5\x2F\xFD"sv, "zstd-compressed file"},
    {0, "PK\3\4"sv, "ZIP archive (OpenRaster, say)"},
    {0, "7z\xBC\xAF\x27\x1C"sv, "7z archive"},
    {0, "Rar!"sv, "RAR archive"},
    {0, "<!DOCTYPE html"sv, "HTML page"},
    {0, "<html"sv, "HTML page"},
    {0, "\x7F" "ELF"sv, "program (ELF executable)"},
};

// Brands of an ISO media file (bytes 8 to 11 after "ftyp" at 4).
struct Brand {
  const char* brand;
  const char* name;
};
constexpr Brand Brands[] = {
    {"avif", "AVIF image"},        {"avis", "AVIF image sequence"}, {"heic", "HEIF image (HEIC)"},
    {"heix", "HEIF image (HEIC)"}, {"hevc", "HEIF image sequence"}, {"hevx", "HEIF image sequence"},
    {"heim", "HEIF image (HEIC)"}, {"heis", "HEIF image (HEIC)"},   {"mif1", "HEIF image (HEIC or AVIF)"},
    {"msf1", "HEIF image sequence"}, {"jp2 ", "JPEG 2000 image (JP2)"}, {"jpx ", "JPEG 2000 image (JPX)"},
    {"crx ", "Canon raw image (CR3)"},
};

}  // namespace

const char* KnownFormatName(const std::uint8_t* head, std::size_t size) {
  // "%!PS-Adobe-3.0 EPSF-3.0": PostScript with an EPS version after its own.
  if (size >= 18 && std::memcmp(head, "%!PS-Adobe-", 11) == 0 && std::memcmp(head + 14, " EPS", 4) == 0) {
    return "EPS (Encapsulated PostScript) file";
  }
  for (const Signature& s : Signatures) {
    if (size >= s.offset + s.bytes.size() && std::memcmp(head + s.offset, s.bytes.data(), s.bytes.size()) == 0) {
      return s.name;
    }
  }
  if (size >= 12 && std::memcmp(head + 4, "ftyp", 4) == 0) {
    for (const Brand& b : Brands) {
      if (std::memcmp(head + 8, b.brand, 4) == 0) return b.name;
    }
    return "ISO media file (MP4 or QuickTime video, say)";
  }
  if (size >= 12 && std::memcmp(head, "RIFF", 4) == 0) return "RIFF file that is not WebP (AVI or WAVE, say)";
  // Icons and cursors: reserved 0, type 1 or 2, a nonzero image count, and
  // the first entry's reserved byte 0.
  if (size >= 10 && head[0] == 0 && head[1] == 0 && (head[2] == 1 || head[2] == 2) && head[3] == 0 &&
      (head[4] | head[5]) != 0 && head[9] == 0) {
    return head[2] == 1 ? "ICO (Windows icon) file" : "CUR (Windows cursor) file";
  }
  // PCX: manufacturer 10, version 0 or 2 to 5, encoding 0 or 1, 1, 2, 4 or 8
  // bits per plane, and a window whose far corner is not before its near one.
  if (size >= 12 && head[0] == 10 && (head[1] == 0 || (head[1] >= 2 && head[1] <= 5)) && head[2] <= 1 &&
      (head[3] == 1 || head[3] == 2 || head[3] == 4 || head[3] == 8)) {
    const auto le16 = [&](int at) { return head[at] | head[at + 1] << 8; };
    if (le16(8) >= le16(4) && le16(10) >= le16(6)) return "PCX image";
  }
  // SGI image: magic 474, storage 0 or 1, 1 or 2 bytes a sample.
  if (size >= 4 && head[0] == 0x01 && head[1] == 0xDA && head[2] <= 1 && (head[3] == 1 || head[3] == 2)) {
    return "SGI image";
  }
  return nullptr;
}

}  // namespace dibjpeg::cli
