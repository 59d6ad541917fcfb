// Netpbm files into the encoder's layouts: bitmaps (P1, P4) and graymaps
// (P2, P5) become 8-bit gray, pixmaps (P3, P6) 24-bit red first, and PAM (P7)
// one or the other by its tuple type. Samples of any maxval are scaled to 8
// bits with rounding; alpha is dropped, or composited on white.
#include <cstring>

#include "input/formats.h"

namespace dibjpeg::cli {
namespace {

bool IsSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Skips white space and "#" comments (to the end of the line).
void SkipSpace(Source* source) {
  for (int c = GetByte(source);; c = GetByte(source)) {
    if (c == '#') {
      while (c >= 0 && c != '\n') c = GetByte(source);
    }
    if (c < 0) return;
    if (!IsSpace(c)) {
      UngetByte(source, c);
      return;
    }
  }
}

// A decimal number after any white space and comments, held at 10^12 at
// most; the byte after it is left unread. `digits` limits its length (P1
// rows may run their one-digit samples together).
bool ReadNumber(Source* source, std::uint64_t* value, int digits = 1000) {
  SkipSpace(source);
  int c = GetByte(source);
  if (c < '0' || c > '9') return false;
  *value = 0;
  for (int n = 0; n < digits && c >= '0' && c <= '9'; ++n, c = GetByte(source)) {
    *value = *value > 100000000000 ? 1000000000000 : *value * 10 + (c - '0');
  }
  UngetByte(source, c);
  return true;
}

// A PAM header word after white space and comments; the byte after it is
// left unread.
std::string ReadWord(Source* source) {
  SkipSpace(source);
  std::string word;
  int c = GetByte(source);
  for (; c >= 0 && !IsSpace(c) && word.size() < 64; c = GetByte(source)) word.push_back(static_cast<char>(c));
  UngetByte(source, c);
  return word;
}

struct Pnm {
  char kind = 0;
  std::string name;  // PBM, PGM, PPM, PAM
  std::uint64_t width = 0, height = 0, maxval = 0;
  unsigned depth = 0;  // samples per pixel
  bool alpha = false;  // the last sample is opacity
  bool plain = false;  // samples are decimal text
};

// PAM: "WIDTH n", "HEIGHT n", "DEPTH n", "MAXVAL n", "TUPLTYPE t" lines up
// to "ENDHDR" and the end of its line.
bool ReadPamHeader(Source* source, Pnm* pnm, std::string* error) {
  std::string tupleType;
  for (int lines = 0;; ++lines) {
    const std::string key = ReadWord(source);
    if (key == "ENDHDR") break;
    if (key.empty() || lines == 100) return Refuse(error, "truncated or malformed PAM header", "complete files");
    if (key == "TUPLTYPE") {
      tupleType = ReadWord(source);
      continue;
    }
    std::uint64_t value = 0;
    std::uint64_t* field = key == "WIDTH" ? &pnm->width : key == "HEIGHT" ? &pnm->height
                           : key == "MAXVAL" ? &pnm->maxval : key == "DEPTH" ? &value : nullptr;
    if (field == nullptr || !ReadNumber(source, field)) {
      return Refuse(error, "PAM header line " + key + " not understood", "WIDTH, HEIGHT, DEPTH, MAXVAL, TUPLTYPE");
    }
    if (field == &value) pnm->depth = static_cast<unsigned>(value > 999 ? 999 : value);
  }
  for (int c = GetByte(source); c >= 0 && c != '\n'; c = GetByte(source)) {
  }
  struct Type {
    const char* name;
    unsigned depth;
  };
  const Type types[] = {{"GRAYSCALE", 1}, {"BLACKANDWHITE", 1}, {"GRAYSCALE_ALPHA", 2},
                        {"RGB", 3},       {"RGB_ALPHA", 4}};
  bool known = false;
  for (const Type& t : types) known = known || (tupleType == t.name && pnm->depth == t.depth);
  if (!known) {
    return Refuse(error, "PAM with TUPLTYPE " + (tupleType.empty() ? std::string("(none)") : tupleType) +
                             " and DEPTH " + Num(pnm->depth),
                  "GRAYSCALE (1), GRAYSCALE_ALPHA (2), RGB (3), RGB_ALPHA (4), BLACKANDWHITE (1)");
  }
  pnm->alpha = pnm->depth == 2 || pnm->depth == 4;
  pnm->name = "PAM " + tupleType;
  return true;
}

// Width, height and (except for bitmaps) maxval as decimal text, then exactly
// one white-space byte.
bool ReadPnmHeader(Source* source, Pnm* pnm, std::string* error) {
  const bool bitmap = pnm->kind == '1' || pnm->kind == '4';
  pnm->depth = pnm->kind == '3' || pnm->kind == '6' ? 3 : 1;
  pnm->plain = pnm->kind <= '3';
  pnm->name = bitmap ? "PBM" : pnm->depth == 1 ? "PGM" : "PPM";
  pnm->maxval = 1;
  const bool ok = ReadNumber(source, &pnm->width) && ReadNumber(source, &pnm->height) &&
                  (bitmap || ReadNumber(source, &pnm->maxval)) && IsSpace(GetByte(source));
  if (!ok) return Refuse(error, "truncated or malformed " + pnm->name + " header", "complete files");
  if (pnm->plain) pnm->name += " plain";
  return true;
}

std::uint8_t Scale(std::uint64_t v, std::uint64_t maxval) {
  const std::uint64_t s = (v * 255 + maxval / 2) / maxval;
  return static_cast<std::uint8_t>(s > 255 ? 255 : s);
}

// Reads one row of samples, as stored (bitmaps: 1 = black).
bool ReadSamples(const Pnm& pnm, Source* source, std::vector<std::uint16_t>* samples, std::vector<std::uint8_t>* raw) {
  const std::uint64_t count = pnm.width * pnm.depth;
  if (pnm.plain) {
    for (std::uint64_t i = 0; i < count; ++i) {
      std::uint64_t v;
      if (!ReadNumber(source, &v, pnm.kind == '1' ? 1 : 1000) || v > pnm.maxval) return false;
      (*samples)[i] = static_cast<std::uint16_t>(v);
    }
    return true;
  }
  if (ReadBytes(source, raw->data(), raw->size()) != raw->size()) return false;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint8_t* r = raw->data();
    (*samples)[i] = pnm.kind == '4' ? r[i / 8] >> (7 - i % 8) & 1
                    : pnm.maxval > 255 ? std::uint16_t(r[2 * i] << 8 | r[2 * i + 1])
                                       : r[i];
  }
  return true;
}

void ConvertRow(const Pnm& pnm, const std::uint16_t* samples, bool white, std::uint8_t* out) {
  const unsigned colours = pnm.alpha ? pnm.depth - 1 : pnm.depth;
  const bool bitmap = pnm.kind == '1' || pnm.kind == '4';
  for (std::uint64_t x = 0; x < pnm.width; ++x) {
    const std::uint16_t* p = samples + x * pnm.depth;
    const unsigned a = pnm.alpha && white ? Scale(p[colours], pnm.maxval) : 255;
    for (unsigned c = 0; c < colours; ++c) {
      const unsigned v = Scale(bitmap ? 1 - p[c] : p[c], pnm.maxval);
      out[x * colours + c] = static_cast<std::uint8_t>((v * a + 255 * (255 - a) + 127) / 255);
    }
  }
}

}  // namespace

bool ReadPnm(Source* source, char kind, const ReadOptions& options, Image* image, std::string* error) {
  Pnm pnm;
  pnm.kind = kind;
  if (!(kind == '7' ? ReadPamHeader(source, &pnm, error) : ReadPnmHeader(source, &pnm, error))) return false;
  if (pnm.maxval == 0 || pnm.maxval > 65535) {
    return Refuse(error, pnm.name + " with maxval " + Num(pnm.maxval), "maxval 1 to 65535");
  }
  if (pnm.width == 0 || pnm.height == 0) {
    return Refuse(error, pnm.name + " of " + Num(pnm.width) + " x " + Num(pnm.height) + " pixels",
                  "at least 1 x 1 pixels");
  }
  const unsigned outBits = pnm.depth >= 3 ? 24 : 8;
  image->format = pnm.name + (pnm.maxval != 255 && kind != '1' && kind != '4' ? " maxval " + Num(pnm.maxval) : "");
  image->channelOrder = 0;  // red first
  const std::uint64_t rowBytes = kind == '4' ? (pnm.width + 7) / 8 : pnm.width * pnm.depth * (pnm.maxval > 255 ? 2 : 1);
  const std::uint64_t dataEnd = pnm.plain ? 0 : source->position + rowBytes * pnm.height;
  if (!AllocatePixels(*source, options, pnm.width, pnm.height, outBits, dataEnd, image, error)) return false;

  // 8-bit samples without alpha are read straight into place.
  const bool direct = !pnm.plain && kind != '4' && pnm.maxval == 255 && !pnm.alpha;
  std::vector<std::uint16_t> samples(direct ? 0 : pnm.width * pnm.depth);
  std::vector<std::uint8_t> raw(direct || pnm.plain ? 0 : rowBytes);
  const std::uint64_t stride = DibRowStride(pnm.width, outBits);
  if (direct) {
    if (!ReadRowRun(source, &image->pixels[(pnm.height - 1) * stride], -std::int64_t(stride), pnm.height, rowBytes)) {
      return RefuseTruncated(error, image->format, dataEnd, source->position);
    }
    return true;
  }
  for (std::uint64_t y = 0; y < pnm.height; ++y) {
    std::uint8_t* out = &image->pixels[(pnm.height - 1 - y) * stride];
    if (!ReadSamples(pnm, source, &samples, &raw)) {
      if (!pnm.plain) return RefuseTruncated(error, image->format, dataEnd, source->position);
      return Refuse(error,
                    image->format + " with a missing, malformed or out-of-range sample in row " + Num(y + 1) +
                        " near byte " + Num(source->position),
                    "decimal samples from 0 to maxval");
    }
    ConvertRow(pnm, samples.data(), options.whiteBackground, out);
  }
  return true;
}

}  // namespace dibjpeg::cli
