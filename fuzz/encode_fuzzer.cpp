// libFuzzer target over Jpeg_EncodeStart. The input chooses every field of
// the parameter block, the whole 32-bit mode argument, the source and output
// sizes and the pixel bytes. Both buffers are allocated with exactly the
// stated sizes, so AddressSanitizer catches any byte touched outside them.
//
// Input layout (missing bytes read as 0):
//   0      flags: which fields are taken raw instead of folded into a
//          small range (see Fields)
//   1..4   width   5..8 height   9..10 bitCount
//   11     quality 12 sampling   13 channelOrder
//   14..17 mode
//   18     source size kind      19 output size kind
//   20..21 a free 16-bit size used by some kinds
//   22..25 gap     26..29 reserved (fields the encoder must not read)
//   30..   pixel bytes, repeated to fill the source
//
// Every call is checked against what the caller may rely on: validation
// codes and an untouched dstSize for bad blocks; for a block that passes,
// measure and encode agree, an encode fails only when the buffer is smaller
// than the measured length, a successful stream starts with SOI, ends with
// EOI, leaves the rest of the buffer alone and decodes with libjpeg-turbo
// without a single warning.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "dibjpeg/dibjpeg.h"
#include "test_support.h"

namespace {

constexpr std::size_t HeaderSize = 30;
constexpr std::uint32_t MaxSource = 64 * 1024;  // keeps one run in the millisecond range
constexpr std::uint32_t MaxOutput = 256 * 1024;
constexpr std::uint64_t MaxDecodedPixels = 1 << 17;
constexpr std::uint32_t MaxDecodedSide = 65500;  // libjpeg refuses longer sides; JPEG allows 65535
constexpr std::uint8_t Untouched = 0xEE;

[[noreturn]] void Fail(const char* what, const JpegEncodeParams& p, std::int32_t mode, unsigned status) {
  std::fprintf(stderr, "FAILED: %s\n  width=%u height=%u bitCount=%u quality=%u sampling=%u order=%u mode=0x%x "
               "srcSize=%u dstSize=%u status=0x%04x\n",
               what, p.width, p.height, p.bitCount, p.quality, p.sampling, p.channelOrder,
               static_cast<unsigned>(mode), p.srcSize, p.dstSize, status);
  std::abort();
}

std::uint32_t Le(const std::uint8_t* b, int n) {
  std::uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | b[i];
  return v;
}

struct Fields {
  JpegEncodeParams params{};
  std::int32_t mode = 0;
  std::uint8_t sourceKind = 0;
  std::uint8_t outputKind = 0;
  std::uint32_t freeSize = 0;
  bool nullWhenEmpty = false;
};

Fields ReadFields(const std::uint8_t* h) {
  static constexpr std::uint16_t BitCounts[4] = {8, 16, 24, 32};
  Fields f;
  const std::uint8_t flags = h[0];
  JpegEncodeParams& p = f.params;
  p.width = Le(h + 1, 4);
  p.height = Le(h + 5, 4);
  if (!(flags & 1)) p.width %= 41;  // 0..40: small images, and the zero case
  if (!(flags & 2)) p.height %= 41;
  p.bitCount = static_cast<std::uint16_t>(Le(h + 9, 2));
  if (!(flags & 4)) p.bitCount = BitCounts[p.bitCount & 3];
  p.quality = h[11];
  p.sampling = h[12];
  if (!(flags & 8)) p.sampling %= 4;
  p.channelOrder = h[13];
  std::uint32_t mode = Le(h + 14, 4);
  if (!(flags & 16)) mode = (mode & 0xFFFFFF00u) | (mode & 1);  // a valid low byte, any high bits
  f.mode = static_cast<std::int32_t>(mode);
  f.nullWhenEmpty = flags & 32;
  f.sourceKind = h[18];
  f.outputKind = h[19];
  f.freeSize = Le(h + 20, 2);
  p.gap = Le(h + 22, 4);
  p.reserved = Le(h + 26, 4);
  return f;
}

// What validation must answer, computed independently of the library.
std::uint16_t ExpectedValidation(const JpegEncodeParams& p, std::int32_t mode) {
  if (p.width == 0 || p.height == 0) return JpegStatusZeroDimension;
  if (p.width > 0xFFFF || p.height > 0xFFFF || p.quality == 0 || p.quality > 100 || p.sampling > 2)
    return JpegStatusBadArgument;
  if (p.bitCount != 8 && p.bitCount != 16 && p.bitCount != 24 && p.bitCount != 32) return JpegStatusBadBitCount;
  const std::uint8_t low = static_cast<std::uint8_t>(mode);
  if (low != JPEG_MODE_MEASURE && low != JPEG_MODE_ENCODE) return JpegStatusBadArgument;
  return 0;
}

// Source sizes: the whole bitmap, exactly what the rows need, one byte short
// of it, nothing, or a free size; all capped at what the harness allocates.
std::uint32_t SourceSize(const Fields& f) {
  const JpegEncodeParams& p = f.params;
  const std::uint64_t bits = p.bitCount ? p.bitCount : 8;
  const std::uint64_t stride = ((std::uint64_t{p.width} * bits + 31) / 32) * 4;
  const std::uint64_t rows = p.height ? p.height : 1;
  const std::uint64_t needed = (rows - 1) * stride + (std::uint64_t{p.width} * bits + 7) / 8;
  std::uint64_t size;
  switch (f.sourceKind % 6) {
    case 0: size = stride * rows; break;
    case 1: size = needed; break;
    case 2: size = needed ? needed - 1 : 0; break;
    case 3: size = 0; break;
    case 4: size = f.freeSize; break;
    default: size = needed + f.freeSize % 64; break;
  }
  return static_cast<std::uint32_t>(size < MaxSource ? size : MaxSource);
}

// Output sizes around the measured length: exact, one short, nothing, a bit
// more, or a free size.
std::uint32_t OutputSize(const Fields& f, std::uint32_t measured) {
  const std::uint64_t base = measured ? measured : 4096;
  std::uint64_t size;
  switch (f.outputKind % 6) {
    case 0: size = base; break;
    case 1: size = base - 1; break;
    case 2: size = 0; break;
    case 3: size = base + f.freeSize % 64; break;
    case 4: size = f.freeSize; break;
    default: size = base > f.freeSize ? base - f.freeSize : 0; break;
  }
  return static_cast<std::uint32_t>(size < MaxOutput ? size : MaxOutput);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint8_t header[HeaderSize] = {};
  std::memcpy(header, data, size < HeaderSize ? size : HeaderSize);
  const Fields f = ReadFields(header);
  const std::uint8_t* pixels = size > HeaderSize ? data + HeaderSize : nullptr;
  const std::size_t pixelCount = size > HeaderSize ? size - HeaderSize : 0;

  const std::uint32_t srcSize = SourceSize(f);
  std::unique_ptr<std::uint8_t[]> src(new std::uint8_t[srcSize]);
  for (std::uint32_t i = 0; i < srcSize; ++i) src[i] = pixelCount ? pixels[i % pixelCount] : 0;

  JpegEncodeParams p = f.params;
  p.srcBits = srcSize == 0 && f.nullWhenEmpty ? nullptr : src.get();
  p.srcSize = srcSize;
  const std::uint16_t expected = ExpectedValidation(p, f.mode);

  // Measure first: the reference length for the call under test, with the
  // unread fields cleared so that any use of them shows as a disagreement.
  JpegEncodeParams measure = p;
  measure.gap = 0;
  measure.reserved = 0;
  measure.dstBuffer = nullptr;
  measure.dstSize = 0x5A5A5A5A;
  const std::uint16_t measureStatus = Jpeg_EncodeStart(&measure, JPEG_MODE_MEASURE | (f.mode & ~0xFF));
  const bool valid = ExpectedValidation(measure, JPEG_MODE_MEASURE) == 0;
  if (!valid && (measureStatus != ExpectedValidation(measure, JPEG_MODE_MEASURE) || measure.dstSize != 0x5A5A5A5A))
    Fail("measure: wrong validation result or dstSize changed", measure, JPEG_MODE_MEASURE, measureStatus);
  if (valid && (measureStatus == 0) != (measure.dstSize != 0))
    Fail("measure: status and length disagree", measure, JPEG_MODE_MEASURE, measureStatus);
  const std::uint32_t measured = valid && measureStatus == 0 ? measure.dstSize : 0;

  const std::uint32_t capacity = OutputSize(f, measured);
  std::unique_ptr<std::uint8_t[]> dst(new std::uint8_t[capacity]);
  std::memset(dst.get(), Untouched, capacity);
  p.dstBuffer = capacity == 0 && f.nullWhenEmpty ? nullptr : dst.get();
  p.dstSize = capacity;
  const std::uint16_t status = Jpeg_EncodeStart(&p, f.mode);

  if (expected != 0) {
    if (status != expected) Fail("wrong validation status", p, f.mode, status);
    if (p.dstSize != capacity) Fail("validation failure changed dstSize", p, f.mode, status);
    return 0;
  }
  const bool encode = static_cast<std::uint8_t>(f.mode) == JPEG_MODE_ENCODE;
  if (status != 0) {
    if ((status & 0xF000) != JpegStatusBase || (status & ~0x21F5) != 0) Fail("unknown status bits", p, f.mode, status);
    if (p.dstSize != 0) Fail("failure left a length", p, f.mode, status);
    if (!encode && measureStatus == 0) Fail("second measure failed", p, f.mode, status);
    if (encode && measureStatus == 0 && capacity >= measured) Fail("encode failed with room to spare", p, f.mode, status);
    return 0;
  }
  if (measureStatus != 0) Fail("measure failed where the call succeeded", p, f.mode, status);
  if (p.dstSize != measured) Fail("length differs from the measured one", p, f.mode, status);
  if (!encode) {
    for (std::uint32_t i = 0; i < capacity; ++i) {
      if (dst[i] != Untouched) Fail("measure mode wrote into dstBuffer", p, f.mode, status);
    }
    return 0;
  }

  const std::uint32_t length = p.dstSize;
  if (length > capacity) Fail("length beyond the buffer", p, f.mode, status);
  const std::uint8_t* out = dst.get();
  if (length < 4 || out[0] != 0xFF || out[1] != 0xD8) Fail("no SOI at the start", p, f.mode, status);
  if (out[length - 2] != 0xFF || out[length - 1] != 0xD9) Fail("no EOI at the end", p, f.mode, status);
  for (std::uint32_t i = length; i < capacity; ++i) {
    if (out[i] != Untouched) Fail("byte written past the stream", p, f.mode, status);
  }
  if (std::uint64_t{p.width} * p.height <= MaxDecodedPixels && p.width <= MaxDecodedSide &&
      p.height <= MaxDecodedSide) {
    dibjpeg::test::Decoded decoded;
    std::string error;
    if (!dibjpeg::test::DecodeJpeg(dibjpeg::test::Bytes(out, out + length), &decoded, &error)) {
      std::fprintf(stderr, "libjpeg: %s\n", error.c_str());
      Fail("the stream does not decode cleanly", p, f.mode, status);
    }
    const int components = p.bitCount == 8 ? 1 : 3;
    if (decoded.width != static_cast<int>(p.width) || decoded.height != static_cast<int>(p.height) ||
        decoded.components != components) {
      Fail("the decoded image has the wrong size or component count", p, f.mode, status);
    }
  }
  return 0;
}
