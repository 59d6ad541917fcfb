// Formats the program does not read, named from their first bytes so that a
// refusal says what the file is.
#include <cstring>

#include "input/formats.h"

namespace dibjpeg::cli {
namespace {

struct Signature {
  std::size_t offset;
  const char* bytes;  // compared for `length` bytes
  std::size_t length;
  const char* name;
};

#define SIG(offset, text, name) {offset, text, sizeof text - 1, name}
// Fixed byte strings at fixed offsets, checked in order.
constexpr Signature Signatures[] = {
    SIG(0, "8BPS\0\1", "PSD (Photoshop) image"),
    SIG(0, "8BPS\0\2", "PSB (Photoshop large document) image"),
    SIG(0, "\0\0\0\x0CjP  \r\n\x87\n", "JPEG 2000 image (JP2)"),
    SIG(0, "\xFF\x4F\xFF\x51", "JPEG 2000 codestream"),
    SIG(0, "\xFF\x0A", "JPEG XL image"),
    SIG(0, "\0\0\0\x0CJXL \r\n\x87\n", "JPEG XL image"),
    SIG(0, "%PDF-", "PDF document"),
    SIG(0, "%!", "PostScript document"),
    SIG(0, "\xC5\xD0\xD3\xC6", "EPS (Encapsulated PostScript) file with a preview"),
    SIG(0, "gimp xcf ", "XCF (GIMP) image"),
    SIG(0, "<svg", "SVG drawing"),
    SIG(0, "<?xml", "XML document (an SVG drawing, say)"),
    SIG(0, "\xEF\xBB\xBF<?xml", "XML document (an SVG drawing, say)"),
    SIG(0, "\x76\x2F\x31\x01", "OpenEXR image"),
    SIG(0, "DDS ", "DDS (DirectDraw Surface) texture"),
    SIG(0, "qoif", "QOI image"),
    SIG(0, "farbfeld", "farbfeld image"),
    SIG(0, "#?RADIANCE", "Radiance HDR image"),
    SIG(0, "#?RGBE", "Radiance HDR image"),
    SIG(0, "PF\n", "PFM (floating-point PNM) image"),
    SIG(0, "Pf\n", "PFM (floating-point PNM) image"),
    SIG(0, "/* XPM */", "XPM image"),
    SIG(0, "#define ", "XBM image"),
    SIG(0, "\x8AMNG\r\n\x1A\n", "MNG animation"),
    SIG(0, "\x8BJNG\r\n\x1A\n", "JNG image"),
    SIG(0, "BPG\xFB", "BPG image"),
    SIG(0, "FLIF", "FLIF image"),
    SIG(0, "\x59\xA6\x6A\x95", "Sun raster image"),
    SIG(0, "SDPX", "DPX image"),
    SIG(0, "XPDS", "DPX image"),
    SIG(0, "\x80\x2A\x5F\xD7", "Cineon image"),
    SIG(0, "SIMPLE  =", "FITS image"),
    SIG(0, "AT&TFORM", "DjVu document"),
    SIG(0, "\xD7\xCD\xC6\x9A", "WMF (Windows metafile) drawing"),
    SIG(0, "\x1F\x8B", "gzip-compressed file"),
    SIG(0, "BZh", "bzip2-compressed file"),
    SIG(0, "\xFD" "7zXZ", "xz-compressed file"),
    SIG(0, "\x28\xB5\x2F\xFD", "zstd-compressed file"),
    SIG(0, "PK\3\4", "ZIP archive (OpenRaster, say)"),
    SIG(0, "7z\xBC\xAF\x27\x1C", "7z archive"),
    SIG(0, "Rar!", "RAR archive"),
    SIG(0, "<!DOCTYPE html", "HTML page"),
    SIG(0, "<html", "HTML page"),
    SIG(0, "\x7F" "ELF", "program (ELF executable)"),
};
#undef SIG

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
    if (size >= s.offset + s.length && std::memcmp(head + s.offset, s.bytes, s.length) == 0) return s.name;
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
