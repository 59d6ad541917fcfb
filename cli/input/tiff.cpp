// TIFF and BigTIFF files through libtiff, every compression it decodes.
// Gray, palette, RGB and CMYK images of 1 to 16-bit samples are decoded a
// strip row, a strip of each plane or a row of tiles at a time straight
// into the bottom-up rows (CMYK converted by the file's ICC profile),
// flipped and mirrored as Orientation 2 to 4 say. Subsampled YCbCr and
// old-style JPEG go through libtiff's RGBA interface. Gray (and all-gray
// palettes) becomes 8-bit gray, the rest 24-bit red first; alpha is dropped
// or composited on white. A file that cannot seek (a pipe) is read into
// memory first.
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <new>

#include "input/cmyk.h"
#include "input/formats.h"

namespace dibjpeg::cli {
namespace {

// The input as libtiff reads it: the file at `base` when it seeks, or its
// bytes in memory.
struct TiffInput {
  std::FILE* file = nullptr;
  std::int64_t base = 0;
  std::uint64_t size = 0;
  std::vector<std::uint8_t> memory;
  std::uint64_t at = 0;
  std::string message;  // libtiff's first error
};

tmsize_t OnRead(thandle_t handle, void* to, tmsize_t n) {
  auto* in = static_cast<TiffInput*>(handle);
  if (in->file != nullptr) return static_cast<tmsize_t>(std::fread(to, 1, static_cast<std::size_t>(n), in->file));
  const std::uint64_t left = in->at < in->memory.size() ? in->memory.size() - in->at : 0;
  const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left, static_cast<std::uint64_t>(n)));
  if (take != 0) std::memcpy(to, in->memory.data() + in->at, take);
  in->at += take;
  return static_cast<tmsize_t>(take);
}

tmsize_t OnWrite(thandle_t, void*, tmsize_t) { return -1; }

toff_t OnSeek(thandle_t handle, toff_t offset, int whence) {
  auto* in = static_cast<TiffInput*>(handle);
  const auto delta = static_cast<std::int64_t>(offset);
  if (in->file != nullptr) {
    if (fseeko(in->file, static_cast<off_t>(whence == SEEK_SET ? in->base + delta : delta), whence) != 0) {
      return static_cast<toff_t>(-1);
    }
    return static_cast<toff_t>(ftello(in->file) - in->base);
  }
  const std::int64_t from = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? std::int64_t(in->at) : std::int64_t(in->size);
  if (from + delta < 0) return static_cast<toff_t>(-1);
  in->at = static_cast<std::uint64_t>(from + delta);
  return in->at;
}

int OnClose(thandle_t) { return 0; }
toff_t OnSize(thandle_t handle) { return static_cast<TiffInput*>(handle)->size; }
int OnMap(thandle_t, void**, toff_t*) { return 0; }
void OnUnmap(thandle_t, void*, toff_t) {}

void OnError(thandle_t handle, const char*, const char* format, va_list args) {
  auto* in = static_cast<TiffInput*>(handle);
  if (in == nullptr || !in->message.empty()) return;
  char text[300];
  std::vsnprintf(text, sizeof text, format, args);
  in->message = std::strncmp(text, "input: ", 7) == 0 ? text + 7 : text;  // the name given to TIFFClientOpen
  std::replace(in->message.begin(), in->message.end(), '\n', ' ');        // one line
}

// Names of the compressions a refusal or the image's description may name.
constexpr struct {
  std::uint16_t code;
  const char* name;
} Compressions[] = {{1, "uncompressed"}, {2, "CCITT RLE"},      {3, "CCITT G3"},      {4, "CCITT G4"},
                    {5, "LZW"},          {6, "old-style JPEG"}, {7, "JPEG"},          {8, "Deflate"},
                    {32946, "Deflate"},  {32773, "PackBits"},   {34661, "JBIG"},      {34712, "JPEG 2000"},
                    {34887, "LERC"},     {34925, "LZMA"},       {50000, "Zstandard"}, {50001, "WebP"},
                    {50002, "JPEG XL"}};

std::string CompressionName(std::uint16_t code) {
  for (const auto& c : Compressions) {
    if (c.code == code) return c.name;
  }
  return "compression " + Num(code);
}

std::string PhotometricName(std::uint16_t photometric) {
  switch (photometric) {
    case PHOTOMETRIC_MINISWHITE: return "gray (0 is white)";
    case PHOTOMETRIC_MINISBLACK: return "gray";
    case PHOTOMETRIC_RGB: return "RGB";
    case PHOTOMETRIC_PALETTE: return "palette";
    case PHOTOMETRIC_MASK: return "transparency mask";
    case PHOTOMETRIC_SEPARATED: return "CMYK";
    case PHOTOMETRIC_YCBCR: return "YCbCr";
    case PHOTOMETRIC_CIELAB:
    case PHOTOMETRIC_ICCLAB:
    case PHOTOMETRIC_ITULAB: return "CIE L*a*b*";
    case PHOTOMETRIC_CFA: return "colour filter array (raw sensor data)";
    case PHOTOMETRIC_LOGL:
    case PHOTOMETRIC_LOGLUV: return "LogLuv";
    default: return "photometric interpretation " + Num(photometric);
  }
}

enum class Alpha { None, Associated, Unassociated };

// One 16-bit sample's colour after alpha: composited on white, or (for
// premultiplied samples, when alpha is dropped) divided back.
std::uint32_t WithAlpha(std::uint32_t c, std::uint32_t a, Alpha kind, bool white) {
  if (white && kind == Alpha::Associated) return std::min<std::uint32_t>(65535, c + 65535 - a);
  if (white) return static_cast<std::uint32_t>((std::uint64_t(c) * a + 65535ull * (65535 - a) + 32767) / 65535);
  if (kind != Alpha::Associated || a == 0 || a == 65535) return c;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(65535, (std::uint64_t(c) * 65535 + a / 2) / a));
}

std::uint8_t To8(std::uint32_t v) { return static_cast<std::uint8_t>((v * 255 + 32767) / 65535); }

// Samples of `bits` bits, rows starting on a byte, widened to 16 bits
// (v x 65535 / max), or as they are (palette indices), to every `step`th
// place of `out`. 16-bit samples are in the machine's order once libtiff
// has them.
void Unpack(const std::uint8_t* in, unsigned bits, std::size_t count, bool index, std::uint16_t* out, unsigned step) {
  const unsigned max = bits == 16 ? 65535 : (1u << bits) - 1, scale = index ? 1 : 65535 / max;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint16_t v;
    if (bits == 16) {
      std::memcpy(&v, in + 2 * i, 2);
    } else {
      const std::size_t bit = i * bits;
      v = static_cast<std::uint16_t>((in[bit / 8] >> (8 - bits - bit % 8) & max) * scale);
    }
    out[i * step] = v;
  }
}

struct Layout {
  std::uint32_t width = 0, height = 0;
  std::uint16_t bits = 1, samples = 1, photometric = 0, planar = PLANARCONFIG_CONTIG, compression = 1;
  std::uint16_t orientation = ORIENTATION_TOPLEFT;
  unsigned colours = 1;  // samples before the extra ones
  Alpha alpha = Alpha::None;
  bool gray = false;  // 8-bit gray out
  bool cmyk = false;
  std::vector<std::uint16_t> palette[3];  // red, green and blue of each index, 8 bits x 257

  // Where the file's row y goes in the bottom-up rows: Orientation 3 and 4
  // store the bottom row first.
  std::uint8_t* Row(Image* image, std::uint32_t y) const {
    const bool bottomFirst = orientation == ORIENTATION_BOTRIGHT || orientation == ORIENTATION_BOTLEFT;
    return &image->pixels[(bottomFirst ? y : height - 1 - y) * DibRowStride(width, image->bitCount)];
  }
  // Orientation 2 and 3 store each row right to left.
  void Mirror(std::uint8_t* row) const {
    if (orientation != ORIENTATION_TOPRIGHT && orientation != ORIENTATION_BOTRIGHT) return;
    const unsigned n = gray ? 1 : 3;
    for (std::uint32_t a = 0, b = width - 1; a < b; ++a, --b)
      std::swap_ranges(row + n * a, row + n * a + n, row + n * b);
  }
};

// The path that reads the file's own samples: a strip row at a time, or a
// row of tiles (or, planes separate, a strip of each) into a band.
bool ReadSamples(TIFF* tif, const Layout& l, const CmykToRgb& cmyk, bool white, Image* image, std::string* message) {
  const bool separate = l.planar == PLANARCONFIG_SEPARATE;
  const unsigned planes = separate ? l.samples : 1, perPlane = separate ? 1 : l.samples;
  const std::uint64_t lineBytes = static_cast<std::uint64_t>(TIFFScanlineSize64(tif));
  if (lineBytes < (std::uint64_t(l.width) * perPlane * l.bits + 7) / 8) return false;
  std::uint32_t bandRows = 1, tileWidth = 0;
  std::uint64_t tileBytes = 0;
  if (!TIFFIsTiled(tif)) {
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &bandRows);
    bandRows = std::clamp<std::uint32_t>(bandRows, 1, l.height);
  }
  // Whole strips where they take at most 4 MiB (libtiff inflates a whole
  // strip with libdeflate, in half the time zlib takes row by row), else
  // a row at a time.
  const bool scanlines = !TIFFIsTiled(tif) && !separate && lineBytes * bandRows > (std::uint64_t{4} << 20);
  if (scanlines) bandRows = 1;
  if (TIFFIsTiled(tif)) {
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tileWidth);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &bandRows);
    tileBytes = static_cast<std::uint64_t>(TIFFTileSize64(tif));
    // Tiles may overhang the image, but not by more than it is worth.
    if (tileWidth == 0 || bandRows == 0 || std::uint64_t(tileWidth) * perPlane * l.bits % 8 != 0 ||
        tileBytes > std::max<std::uint64_t>(std::uint64_t{64} << 20, 4 * lineBytes * l.height)) {
      *message = "tiles of " + Num(tileWidth) + " x " + Num(bandRows) + " pixels";
      return false;
    }
  }
  const std::uint64_t planeBytes = lineBytes * bandRows;
  const ZeroedBytes tile = AllocateZeroed(tileBytes), band = AllocateZeroed(planeBytes * planes),
                    sampleBytes = AllocateZeroed(std::uint64_t(l.width) * l.samples * 2);
  if ((tileBytes != 0 && tile == nullptr) || band == nullptr || sampleBytes == nullptr) {
    *message = "out of memory for a row of tiles";
    return false;
  }
  auto* samples = reinterpret_cast<std::uint16_t*>(sampleBytes.get());
  const std::uint64_t tileRowBytes = std::uint64_t(tileWidth) * perPlane * l.bits / 8;
  const unsigned n = l.gray ? 1 : 3;
  // 8-bit gray or RGB, stored as the encoder takes it: each row goes
  // straight into its place (read there, or copied from the band).
  const bool straight = l.bits == 8 && !separate && l.samples == n && l.palette[0].empty() && !l.cmyk &&
                        l.photometric != PHOTOMETRIC_MINISWHITE;
  const bool inPlace = straight && scanlines && lineBytes <= DibRowStride(l.width, 8 * n);
  for (std::uint32_t y = 0; y < l.height; ++y) {
    std::uint8_t* out = l.Row(image, y);
    for (unsigned p = 0; p < planes; ++p) {
      std::uint8_t* plane = band.get() + p * planeBytes;
      if (scanlines) {
        if (TIFFReadScanline(tif, inPlace ? out : plane, y, 0) < 0) return false;
      } else if (y % bandRows == 0 && tile == nullptr) {
        const auto size = static_cast<tmsize_t>(lineBytes * std::min(bandRows, l.height - y));
        if (TIFFReadEncodedStrip(tif, TIFFComputeStrip(tif, y, static_cast<std::uint16_t>(p)), plane, size) < 0) {
          return false;
        }
      } else if (y % bandRows == 0) {
        for (std::uint32_t x = 0; x < l.width; x += tileWidth) {
          if (TIFFReadTile(tif, tile.get(), x, y, 0, static_cast<std::uint16_t>(p)) < 0) return false;
          const std::uint64_t at = std::uint64_t(x) * perPlane * l.bits / 8;
          const std::size_t take = static_cast<std::size_t>(std::min(tileRowBytes, lineBytes - at));
          for (std::uint32_t r = 0; r < bandRows && y + r < l.height; ++r) {
            std::memcpy(plane + r * lineBytes + at, tile.get() + r * tileRowBytes, take);
          }
        }
      }
      if (straight) {
        if (!inPlace) std::memcpy(out, plane + (y % bandRows) * lineBytes, std::size_t(l.width) * n);
        continue;
      }
      Unpack(plane + (y % bandRows) * lineBytes, l.bits, std::size_t(l.width) * perPlane, !l.palette[0].empty(),
             samples + p, planes);
    }
    if (straight) {
      l.Mirror(out);
      continue;
    }
    if (l.cmyk) cmyk.Convert(samples, out, l.width);
    for (std::uint32_t x = 0; x < l.width; ++x) {
      const std::uint16_t* s = &samples[std::size_t(x) * l.samples];
      for (unsigned c = 0; c < n; ++c) {
        std::uint32_t v = l.cmyk ? out[n * x + c] * 257u : l.palette[0].empty() ? s[c] : l.palette[c][s[0]];
        if (l.photometric == PHOTOMETRIC_MINISWHITE) v = 65535 - v;
        if (l.alpha != Alpha::None) v = WithAlpha(v, s[l.colours], l.alpha, white);
        out[n * x + c] = To8(v);
      }
    }
    l.Mirror(out);
  }
  return true;
}

// libtiff's RGBA interface (subsampled YCbCr, old-style JPEG), a strip or a
// row of tiles at a time, in the file's row order; it premultiplies alpha.
bool ReadRgba(TIFF* tif, const Layout& l, bool white, Image* image, std::string* message) {
  char text[1024] = "";
  TIFFRGBAImage rgba;
  if (!TIFFRGBAImageBegin(&rgba, tif, 0, text)) {
    *message = std::string("libtiff: ") + text;
    return false;
  }
  rgba.req_orientation = rgba.orientation;  // no flips: Row and Mirror place the rows
  std::uint32_t band = 0;
  if (!TIFFGetField(tif, TIFFIsTiled(tif) ? TIFFTAG_TILELENGTH : TIFFTAG_ROWSPERSTRIP, &band) || band > l.height) {
    band = l.height;
  }
  band = std::max<std::uint32_t>(band, 1);
  ZeroedBytes raster = AllocateZeroed(std::uint64_t(l.width) * band * 4);
  bool ok = raster != nullptr;
  const unsigned n = l.gray ? 1 : 3;
  for (std::uint32_t y = 0; ok && y < l.height; y += band) {
    const std::uint32_t rows = std::min(band, l.height - y);
    rgba.row_offset = static_cast<int>(y);
    rgba.col_offset = 0;
    auto* pixels = reinterpret_cast<std::uint32_t*>(raster.get());
    ok = TIFFRGBAImageGet(&rgba, pixels, l.width, rows) != 0;
    for (std::uint32_t r = 0; ok && r < rows; ++r) {
      std::uint8_t* out = l.Row(image, y + r);
      for (std::uint32_t x = 0; x < l.width; ++x) {
        const std::uint32_t p = pixels[std::size_t(r) * l.width + x];
        const std::uint8_t c[3] = {std::uint8_t(TIFFGetR(p)), std::uint8_t(TIFFGetG(p)), std::uint8_t(TIFFGetB(p))};
        for (unsigned i = 0; i < n; ++i) {
          out[n * x + i] = To8(WithAlpha(c[i] * 257u, TIFFGetA(p) * 257u, Alpha::Associated, white));
        }
      }
      l.Mirror(out);
    }
  }
  TIFFRGBAImageEnd(&rgba);
  return ok;
}

// The colour map. Writers widen 8-bit entries to 16 bits either as v x 257
// or as v x 256; the top byte is v for both. A map of values all below 256
// was written with 8 bits (as some old writers did) and is taken as it is.
// True when every entry is gray.
bool ReadPalette(TIFF* tif, Layout* l) {
  std::uint16_t* map[3] = {};
  if (l->bits > 8 || !TIFFGetField(tif, TIFFTAG_COLORMAP, &map[0], &map[1], &map[2])) return false;
  const unsigned entries = 1u << l->bits;
  bool narrow = true, gray = true;
  for (unsigned i = 0; i < entries; ++i) {
    narrow = narrow && map[0][i] < 256 && map[1][i] < 256 && map[2][i] < 256;
    gray = gray && map[0][i] == map[1][i] && map[1][i] == map[2][i];
  }
  for (int c = 0; c < 3; ++c) {
    for (unsigned i = 0; i < entries; ++i)
      l->palette[c].push_back(static_cast<std::uint16_t>((narrow ? map[c][i] : map[c][i] >> 8) * 257));
  }
  return gray;
}

Density TiffDensity(TIFF* tif) {
  float x = 0, y = 0;
  std::uint16_t unit = RESUNIT_INCH;
  if (!TIFFGetField(tif, TIFFTAG_XRESOLUTION, &x) || !TIFFGetField(tif, TIFFTAG_YRESOLUTION, &y)) return {};
  TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
  if (!(x >= 0.5f && x < 65535.5f && y >= 0.5f && y < 65535.5f)) return {};
  const std::uint8_t jfif = unit == RESUNIT_INCH ? 1 : unit == RESUNIT_CENTIMETER ? 2 : 0;
  return {jfif, static_cast<std::uint16_t>(std::lround(x)), static_cast<std::uint16_t>(std::lround(y))};
}

// The most a file from a pipe, or one block libtiff takes, may need: 8
// bytes for each pixel allowed (16-bit RGBA, uncompressed), plus 64 MiB.
std::uint64_t MemoryLimit(const Source& source) {
  if (source.maxPixels == 0 || source.maxPixels > (UINT64_MAX >> 4)) return UINT64_MAX;
  return (std::uint64_t{64} << 20) + 8 * source.maxPixels;
}

// Reads the page asked for from the open file.
bool ReadPage(TIFF* tif, TiffInput* in, const Source& source, const ReadOptions& options, Image* image,
              std::string* error) {
  const auto unreadable = [&](const std::string& what) {
    return Refuse(error, "unreadable TIFF: " + (in->message.empty() ? what : in->message),
                  "complete, valid TIFF files");
  };
  // The first directory was read on opening, even where a broken chain of
  // directories lets libtiff count none.
  const tdir_t pages = std::max<tdir_t>(TIFFNumberOfDirectories(tif), 1);
  image->format = "TIFF";
  image->pageCount = pages;
  if (options.page > pages) return true;  // ReadImage refuses the page
  if (options.page > 1 && !TIFFSetDirectory(tif, static_cast<tdir_t>(options.page - 1))) {
    return unreadable("no directory " + Num(options.page));
  }
  Layout l;
  std::uint16_t format = SAMPLEFORMAT_UINT, inkSet = INKSET_CMYK, extras = 0, *extraTypes = nullptr;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &l.width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &l.height);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &l.bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &l.samples);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &l.planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &l.compression);
  TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &l.orientation);
  TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inkSet);
  TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extras, &extraTypes);
  if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &l.photometric)) {
    l.photometric = l.samples - extras >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
  }
  l.colours = extras < l.samples ? l.samples - extras : 0;
  if (extras > 0 && l.colours > 0) {
    if (extraTypes[0] == EXTRASAMPLE_ASSOCALPHA) l.alpha = Alpha::Associated;
    if (extraTypes[0] == EXTRASAMPLE_UNASSALPHA) l.alpha = Alpha::Unassociated;
  }
  const std::string kind = PhotometricName(l.photometric);
  image->format = "TIFF " + Num(l.bits) + "-bit " + kind + (l.alpha != Alpha::None ? "+alpha " : " ") +
                  CompressionName(l.compression) + (TIFFIsTiled(tif) ? " tiled" : "");
  const std::string supported = "gray, palette, RGB, YCbCr and CMYK (with its ICC profile), 1 to 16 bits";
  if (format == SAMPLEFORMAT_IEEEFP)
    return Refuse(error, "TIFF with " + Num(l.bits) + "-bit floating-point samples", supported);
  if (format == SAMPLEFORMAT_INT) return Refuse(error, "TIFF with signed integer samples", supported);
  if (format != SAMPLEFORMAT_UINT && format != SAMPLEFORMAT_VOID)
    return Refuse(error, "TIFF with complex samples", supported);
  if (l.bits != 1 && l.bits != 2 && l.bits != 4 && l.bits != 8 && l.bits != 16) {
    return Refuse(error, "TIFF with " + Num(l.bits) + "-bit samples", supported);
  }
  const bool gray = l.photometric == PHOTOMETRIC_MINISWHITE || l.photometric == PHOTOMETRIC_MINISBLACK;
  const unsigned wantColours = gray || l.photometric == PHOTOMETRIC_PALETTE ? 1
                               : l.photometric == PHOTOMETRIC_SEPARATED     ? 4
                                                                            : 3;
  if (!gray && l.photometric != PHOTOMETRIC_RGB && l.photometric != PHOTOMETRIC_PALETTE &&
      l.photometric != PHOTOMETRIC_YCBCR && l.photometric != PHOTOMETRIC_SEPARATED) {
    return Refuse(error, "TIFF with " + kind + " pixels", supported);
  }
  if (l.photometric == PHOTOMETRIC_SEPARATED && inkSet != INKSET_CMYK) {
    return Refuse(error, "TIFF with separated inks other than CMYK (InkSet " + Num(inkSet) + ")", supported);
  }
  if (l.orientation > ORIENTATION_BOTLEFT) {
    return Refuse(error,
                  "TIFF turned a quarter turn or mirrored across a diagonal (Orientation " + Num(l.orientation) + ")",
                  "Orientation 1 to 4 (flipped, or turned half a turn)");
  }
  if (l.samples > 16) return Refuse(error, "TIFF with " + Num(l.samples) + " samples per pixel", "at most 16");
  if (l.colours != wantColours) {
    return Refuse(error, "TIFF " + kind + " with " + Num(l.samples) + " samples per pixel (" + Num(extras) + " extra)",
                  supported);
  }
  if (!TIFFIsCODECConfigured(l.compression)) {
    return Refuse(error,
                  "TIFF with " + CompressionName(l.compression) + " compression, which this libtiff cannot decode",
                  "the compressions libtiff decodes: none, LZW, Deflate, PackBits, CCITT G3 and G4, JPEG, ...");
  }
  const bool jpegYcc = l.photometric == PHOTOMETRIC_YCBCR && l.compression == COMPRESSION_JPEG;
  const bool direct = l.compression != COMPRESSION_OJPEG &&
                      (gray || l.photometric == PHOTOMETRIC_RGB || l.photometric == PHOTOMETRIC_SEPARATED ||
                       (l.photometric == PHOTOMETRIC_PALETTE && l.bits <= 8) ||
                       (jpegYcc && l.bits == 8 && l.planar == PLANARCONFIG_CONTIG));
  l.cmyk = l.photometric == PHOTOMETRIC_SEPARATED;
  if (l.cmyk && (l.alpha == Alpha::Associated || !direct)) {
    return Refuse(error, "CMYK TIFF with premultiplied alpha or old-style JPEG compression",
                  "CMYK without alpha or with unassociated alpha");
  }
  l.gray = gray || (l.photometric == PHOTOMETRIC_PALETTE && ReadPalette(tif, &l));
  if (!direct) l.palette[0].clear();  // libtiff's RGBA interface applies it
  std::uint32_t profileSize = 0;
  const std::uint8_t* profile = nullptr;
  if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &profileSize, &profile) && profile != nullptr) {
    image->iccProfile.assign(profile, profile + profileSize);
  }
  CmykToRgb cmyk;
  if (l.cmyk) {
    if (image->iccProfile.empty()) return RefuseCmykWithoutProfile("CMYK TIFF", error);
    std::string why;
    if (!cmyk.Start(image->iccProfile, l.samples, 2, false, &why)) return Refuse(error, "CMYK TIFF: " + why, supported);
    image->iccProfile.clear();
    image->iccLeftOut = CmykProfileApplied;
  }
  char text[1024] = "";
  TIFFRGBAImage probe;
  if (!direct && !(TIFFRGBAImageOK(tif, text) && TIFFRGBAImageBegin(&probe, tif, 0, text))) {
    return Refuse(error, image->format + ", which libtiff's RGBA interface declines: " + text, supported);
  }
  if (!direct) TIFFRGBAImageEnd(&probe);
  // Pixel data past the end of the file: refused before any is decoded.
  std::uint64_t end = 0;
  for (std::uint32_t i = 0, n = TIFFNumberOfStrips(tif); i < n; ++i) {
    end = std::max(end, TIFFGetStrileOffset(tif, i) + TIFFGetStrileByteCount(tif, i));
  }
  if (end > in->size) return RefuseTruncated(error, image->format, end, in->size);
  image->channelOrder = 0;  // red first
  if (!AllocatePixels(source, options, l.width, l.height, l.gray ? 8 : 24, 0, image, error)) return false;
  image->density = TiffDensity(tif);
  if (jpegYcc && direct) TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
  std::string message;
  if (direct ? ReadSamples(tif, l, cmyk, options.whiteBackground, image, &message)
             : ReadRgba(tif, l, options.whiteBackground, image, &message)) {
    return true;
  }
  *image = Image{};
  return unreadable(message.empty() ? "the pixel data cannot be decoded" : message);
}

}  // namespace

bool ReadTiff(Source* source, std::span<const std::uint8_t> start, const ReadOptions& options, Image* image,
              std::string* error) {
  TiffInput in;
  in.file = source->file;
  const off_t now = ftello(source->file);
  in.base = static_cast<std::int64_t>(now) - static_cast<std::int64_t>(source->position);
  if (now < 0 || fseeko(source->file, 0, SEEK_END) != 0) {
    // A pipe: the whole file in memory, up to what a file of the largest
    // image allowed can need (8 bytes a pixel, plus 64 MiB for the rest).
    const std::uint64_t limit = MemoryLimit(*source);
    in.file = nullptr;
    std::uint8_t chunk[65536];
    try {
      in.memory.assign(start.begin(), start.end());
      for (std::size_t got; (got = ReadBytes(source, chunk, sizeof chunk)) > 0;) {
        if (in.memory.size() + got > limit) {
          return Refuse(error, "TIFF on a pipe longer than " + Num(limit) + " bytes (it is read into memory to seek)",
                        "TIFF from a pipe up to that size, or any TIFF as a file (--max-pixels raises the limit)");
        }
        in.memory.insert(in.memory.end(), chunk, chunk + got);
      }
    } catch (const std::bad_alloc&) {
      *error = "out of memory reading a TIFF of " + Num(in.memory.size()) + " bytes from a pipe";
      return false;
    }
    in.size = in.memory.size();
  } else {
    in.size = static_cast<std::uint64_t>(ftello(source->file) - in.base);
    fseeko(source->file, static_cast<off_t>(in.base), SEEK_SET);
  }
  TIFFSetErrorHandler(nullptr);  // libtiff's messages come to OnError, not standard error
  TIFFSetWarningHandler(nullptr);
  TIFFSetWarningHandlerExt(nullptr);
  TIFFSetErrorHandlerExt(OnError);
  TIFF* tif = nullptr;
#if TIFFLIB_VERSION >= 20221213  // 4.5.0: a cap on each block libtiff takes
  TIFFOpenOptions* opened = TIFFOpenOptionsAlloc();
  if (opened != nullptr && MemoryLimit(*source) < std::uint64_t(INT64_MAX)) {
    TIFFOpenOptionsSetMaxSingleMemAlloc(opened, static_cast<tmsize_t>(MemoryLimit(*source)));
  }
  tif = TIFFClientOpenExt("input", "rm", &in, OnRead, OnWrite, OnSeek, OnClose, OnSize, OnMap, OnUnmap, opened);
  TIFFOpenOptionsFree(opened);
#else
  tif = TIFFClientOpen("input", "rm", &in, OnRead, OnWrite, OnSeek, OnClose, OnSize, OnMap, OnUnmap);
#endif
  if (tif == nullptr) {
    return Refuse(error, "unreadable TIFF: " + (in.message.empty() ? "libtiff cannot open it" : in.message),
                  "complete, valid TIFF files");
  }
  const bool ok = ReadPage(tif, &in, *source, options, image, error);
  TIFFClose(tif);
  return ok;
}

}  // namespace dibjpeg::cli
