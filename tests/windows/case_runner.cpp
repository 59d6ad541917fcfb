// Loads the encoder library at run time, the way a driver does, runs a fixed
// set of generated cases through Jpeg_EncodeStart and prints one line per
// case: name, status, dstSize and an FNV-1a digest of the output buffer.
// The same program runs natively against the shared object and under Wine
// against the DLL; both outputs must equal expected_cases.txt byte for byte.
//
// Usage: dibjpeg_case_runner <library path>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dibjpeg/dibjpeg.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

using EncodeFn = uint16_t (*)(JpegEncodeParams*, int32_t);
using Bytes = std::vector<std::uint8_t>;

EncodeFn LoadEncoder(const char* path) {
#ifdef _WIN32
  HMODULE module = LoadLibraryA(path);
  if (module == nullptr) return nullptr;
  return reinterpret_cast<EncodeFn>(reinterpret_cast<void*>(GetProcAddress(module, "Jpeg_EncodeStart")));
#else
  void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return nullptr;
  return reinterpret_cast<EncodeFn>(dlsym(module, "Jpeg_EncodeStart"));
#endif
}

std::uint64_t Fnv1a(const std::uint8_t* data, std::size_t size) {
  std::uint64_t h = 0xcbf29ce484222325u;
  for (std::size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 0x100000001b3u;
  return h;
}

std::string Hex(std::uint64_t value, int digits) {
  std::string s(digits, '0');
  for (int i = digits - 1; i >= 0; --i, value >>= 4) s[i] = "0123456789abcdef"[value & 15];
  return s;
}

std::uint32_t RowStride(std::uint32_t width, std::uint32_t bitCount) { return (width * bitCount + 31) / 32 * 4; }

// Bottom-up DIB bytes: gradients that differ per channel and direction, plus
// noise from a fixed xorshift sequence. Padding bytes get noise too; the
// encoder must not let them reach the output.
Bytes MakePixels(std::uint32_t width, std::uint32_t height, std::uint32_t bitCount) {
  const std::uint32_t stride = RowStride(width, bitCount);
  const std::uint32_t bytesPerPixel = bitCount / 8;
  Bytes dib(std::size_t(stride) * height);
  std::uint32_t seed = 0x9e3779b9u ^ (width * 131 + height * 7 + bitCount);
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t i = 0; i < stride; ++i) {
      seed ^= seed << 13;
      seed ^= seed >> 17;
      seed ^= seed << 5;
      const std::uint32_t x = i / bytesPerPixel, channel = i % bytesPerPixel;
      const std::uint32_t smooth = x * (3 + channel * 2) + y * (5 - channel) + channel * 70;
      dib[std::size_t(y) * stride + i] = static_cast<std::uint8_t>(smooth + (seed & 31));
    }
  }
  return dib;
}

struct Call {
  std::uint32_t width = 16, height = 16;
  std::uint16_t bitCount = 24;
  std::uint8_t quality = 75, sampling = 0, channelOrder = 1;
  std::int32_t mode = JPEG_MODE_ENCODE;
  std::uint32_t srcSize = 0xFFFFFFFFu;   // all of the generated pixels unless smaller
  std::uint32_t capacity = 0xFFFFFFFFu;  // the measured length unless given
};

class Runner {
 public:
  explicit Runner(EncodeFn encode) : encode_(encode) {}

  // Runs one call and appends its line. Returns the dstSize reported.
  std::uint32_t Run(const std::string& name, const Call& c) {
    const bool validBitCount = c.bitCount == 8 || c.bitCount == 16 || c.bitCount == 24 || c.bitCount == 32;
    const bool validSize = c.width >= 1 && c.height >= 1 && c.width <= 4096 && c.height <= 4096;
    // Only images the encoder can accept get real pixels; the others only
    // reach validation, and a small buffer must suffice.
    Bytes pixels = validBitCount && validSize ? MakePixels(c.width, c.height, c.bitCount) : Bytes(64, 0x33);
    const std::uint32_t capacity = c.capacity != 0xFFFFFFFFu ? c.capacity : Measure(c, pixels);
    Bytes out(std::size_t(capacity) + Guard, Fill);

    JpegEncodeParams p;
    std::memset(&p, 0xCD, sizeof p);  // the gap, the reserved word and the tail are not read
    SetImage(&p, c, pixels);
    p.srcSize = c.srcSize < pixels.size() ? c.srcSize : static_cast<std::uint32_t>(pixels.size());
    p.dstBuffer = out.data();
    p.dstSize = (c.mode & 0xFF) == JPEG_MODE_MEASURE ? 12345 : capacity;
    const std::uint16_t status = encode_(&p, c.mode);

    bool guardIntact = true;
    for (std::size_t i = capacity; i < out.size(); ++i) guardIntact = guardIntact && out[i] == Fill;
    text_ += name + " status=0x" + Hex(status, 4) + " dstSize=" + std::to_string(p.dstSize) +
             " digest=" + Hex(Fnv1a(out.data(), capacity), 16) + (guardIntact ? "" : " GUARD-OVERWRITTEN") + "\n";
    return p.dstSize;
  }

  const std::string& Text() const { return text_; }

 private:
  static constexpr std::size_t Guard = 64;
  static constexpr std::uint8_t Fill = 0xA5;

  // The pixels and the image fields of a call; the whole pixel buffer as source.
  static void SetImage(JpegEncodeParams* p, const Call& c, const Bytes& pixels) {
    p->srcBits = pixels.data();
    p->srcSize = static_cast<std::uint32_t>(pixels.size());
    p->width = c.width;
    p->height = c.height;
    p->bitCount = c.bitCount;
    p->quality = c.quality;
    p->sampling = c.sampling;
    p->channelOrder = c.channelOrder;
  }

  std::uint32_t Measure(const Call& c, const Bytes& pixels) {
    JpegEncodeParams p{};
    SetImage(&p, c, pixels);
    return encode_(&p, JPEG_MODE_MEASURE) == 0 ? p.dstSize : 0;
  }

  EncodeFn encode_;
  std::string text_;
};

struct Format {
  const char* name;
  std::uint16_t bitCount;
  std::uint8_t channelOrder;
};
constexpr Format Formats[] = {{"gray8", 8, 0},   {"bgr16", 16, 1}, {"rgb16", 16, 0}, {"bgr24", 24, 1},
                              {"rgb24", 24, 0}, {"bgr32", 32, 1}, {"rgb32", 32, 0}};
constexpr const char* SamplingNames[] = {"420", "422", "444"};

std::string CaseName(const Format& f, const Call& c) {
  return std::string(f.name) + "-s" + SamplingNames[c.sampling] + "-q" + std::to_string(c.quality) + "-" +
         std::to_string(c.width) + "x" + std::to_string(c.height);
}

void RunCases(Runner& r) {
  // Every format and sampling over odd and even sizes, quality rotating.
  struct Size {
    std::uint32_t w, h;
  };
  constexpr Size Sizes[] = {{1, 1}, {2, 3}, {8, 8}, {15, 17}, {16, 16}, {31, 9}, {33, 47}, {64, 64}, {131, 67}};
  constexpr std::uint8_t Qualities[] = {1, 10, 50, 75, 90, 100, 37};
  int rotation = 0;
  for (const Format& f : Formats) {
    for (std::uint8_t s = 0; s < 3; ++s) {
      for (const Size& size : Sizes) {
        Call c{.width = size.w, .height = size.h, .bitCount = f.bitCount, .quality = Qualities[rotation++ % 7],
               .sampling = s, .channelOrder = f.channelOrder};
        c.mode = JPEG_MODE_MEASURE;
        r.Run(CaseName(f, c) + "-measure", c);
        c.mode = JPEG_MODE_ENCODE;
        r.Run(CaseName(f, c) + "-encode", c);
      }
    }
  }

  // Quality sweep, and one larger image.
  for (std::uint8_t q : {1, 2, 5, 25, 51, 95, 99, 100}) {
    for (const Format& f : {Formats[0], Formats[3]}) {
      const Call c{.width = 40, .height = 24, .bitCount = f.bitCount, .quality = q, .channelOrder = f.channelOrder};
      r.Run(CaseName(f, c) + "-encode", c);
    }
  }
  r.Run("bgr24-s420-q75-640x480-encode", Call{.width = 640, .height = 480});
  r.Run("rgb32-s422-q85-480x320-encode",
        Call{.width = 480, .height = 320, .bitCount = 32, .quality = 85, .sampling = 1, .channelOrder = 0});

  // Only channelOrder 1 means blue first; these equal the rgb24 case.
  for (std::uint8_t order : {0, 2, 255})
    r.Run("order" + std::to_string(order) + "-rgb24-33x47", Call{.width = 33, .height = 47, .channelOrder = order});

  // The mode argument: only its low byte counts.
  for (std::int32_t mode : {0x100, 0x101, 0x7FFFFF01, 2, 0xFF, -1, -256})
    r.Run("mode-0x" + Hex(static_cast<std::uint32_t>(mode), 8), Call{.mode = mode});

  // Validation failures, in the order they are checked.
  struct Invalid {
    const char* name;
    Call call;
  };
  const Invalid invalid[] = {
      {"width0", {.width = 0}},
      {"height0", {.height = 0}},
      {"width0-quality0-bits15", {.width = 0, .bitCount = 15, .quality = 0}},
      {"width65536", {.width = 65536}},
      {"height65536", {.height = 65536}},
      {"widthmax32", {.width = 0xFFFFFFFFu}},
      {"quality0", {.quality = 0}},
      {"quality101", {.quality = 101}},
      {"quality255", {.quality = 255}},
      {"sampling3", {.sampling = 3}},
      {"sampling3-gray", {.bitCount = 8, .sampling = 3}},
      {"bits0", {.bitCount = 0}},
      {"bits1", {.bitCount = 1}},
      {"bits15", {.bitCount = 15}},
      {"bits64", {.bitCount = 64}},
      {"bits15-mode7", {.bitCount = 15, .mode = 7}},
      {"quality0-bits15", {.bitCount = 15, .quality = 0}},
  };
  for (const Invalid& v : invalid) {
    Call c = v.call;
    c.capacity = 64;
    r.Run(std::string("invalid-") + v.name + "-encode", c);
    c.mode = JPEG_MODE_MEASURE;
    r.Run(std::string("invalid-") + v.name + "-measure", c);
  }

  // Output buffers too small for each part of the stream in turn.
  for (const Format& f : {Formats[0], Formats[3], Formats[2]}) {
    Call c{.width = 33, .height = 47, .bitCount = f.bitCount, .channelOrder = f.channelOrder};
    const std::string base = std::string(f.name) + "-33x47-capacity";
    c.capacity = 0xFFFFFFFFu;
    const std::uint32_t full = r.Run(base + "-full", c);
    for (std::uint32_t capacity : {0u, 1u, 2u, 3u, 19u, 20u, 150u, 300u, 500u, 620u, full / 2, full - 2, full - 1,
                                   full + 1}) {
      c.capacity = capacity;
      r.Run(base + std::to_string(capacity), c);
    }
  }

  // Sources shorter than the rows need, in both modes.
  for (const Format& f : {Formats[0], Formats[1], Formats[3], Formats[6]}) {
    Call c{.width = 21, .height = 13, .bitCount = f.bitCount, .channelOrder = f.channelOrder};
    c.capacity = 8192;
    const std::uint32_t stride = RowStride(c.width, c.bitCount), whole = stride * c.height;
    for (std::uint32_t size : {0u, 1u, stride - 1, stride, whole / 2, whole - stride, whole - stride + 1, whole - 1}) {
      c.srcSize = size;
      for (std::int32_t mode : {JPEG_MODE_MEASURE, JPEG_MODE_ENCODE}) {
        c.mode = mode;
        r.Run(std::string(f.name) + "-21x13-src" + std::to_string(size) + (mode ? "-encode" : "-measure"), c);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <library>\n", argv[0]);
    return 2;
  }
  const EncodeFn encode = LoadEncoder(argv[1]);
  if (encode == nullptr) {
    std::fprintf(stderr, "cannot load Jpeg_EncodeStart from %s\n", argv[1]);
    return 1;
  }
  Runner runner(encode);
  RunCases(runner);
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);  // "\n", not "\r\n"
#endif
  const std::string& text = runner.Text();
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0 ? 0 : 1;
}
