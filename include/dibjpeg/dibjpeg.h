/* dibjpeg: compresses one bottom-up device-independent bitmap into a baseline
 * JFIF JPEG stream. The whole public interface is Jpeg_EncodeStart and the
 * parameter block below. Valid C (C89 onwards) and C++ (C++98 onwards). */
#ifndef DIBJPEG_DIBJPEG_H
#define DIBJPEG_DIBJPEG_H

#include <stddef.h>
#include <stdint.h>

/* The one export macro. DIBJPEG_BUILDING is defined while the library itself
 * is compiled; DIBJPEG_STATIC by code that links the encoder statically. */
#if defined(DIBJPEG_STATIC)
#define DIBJPEG_API
#elif defined(_WIN32)
#if defined(DIBJPEG_BUILDING)
#define DIBJPEG_API __declspec(dllexport)
#else
#define DIBJPEG_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define DIBJPEG_API __attribute__((visibility("default")))
#else
#define DIBJPEG_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The caller's parameter block. Its layout is the binary interface and must
 * not change: offsets are those of a 64-bit target with natural alignment. */
typedef struct JpegEncodeParams {
  const uint8_t* srcBits; /* 0x00 bottom row first, rows padded to 4 bytes   */
  uint32_t srcSize;       /* 0x08 readable bytes at srcBits                  */
  uint32_t gap;           /* 0x0C alignment gap, not read                    */
  uint8_t* dstBuffer;     /* 0x10 output buffer (encode mode only)           */
  uint32_t dstSize;       /* 0x18 in: capacity; out: stream length, 0 = fail */
  uint32_t width;         /* 0x1C pixels, 1..65535                           */
  uint32_t height;        /* 0x20 rows, 1..65535                             */
  uint32_t reserved;      /* 0x24 not read                                   */
  uint16_t bitCount;      /* 0x28 8, 16 (5-5-5), 24 or 32 bits per pixel     */
  uint8_t quality;        /* 0x2A 1..100                                     */
  uint8_t sampling;       /* 0x2B 0 = 4:2:0, 1 = 4:2:2, 2 = 4:4:4            */
  uint8_t channelOrder;   /* 0x2C 1 = blue first, anything else = red first  */
} JpegEncodeParams;

/* Values of the mode argument (only its low 8 bits are examined). */
enum {
  JPEG_MODE_MEASURE = 0, /* return the exact length, write nothing */
  JPEG_MODE_ENCODE = 1   /* write the stream into dstBuffer        */
};

/* Result codes. 0 is success; every failure code contains StatusBase, and
 * failures after validation OR the bits of the failing stage into it. */
enum {
  JpegStatusSuccess = 0x0000,
  JpegStatusBase = 0x2000,            /* set at the start of every call     */
  JpegStatusZeroDimension = 0x2030,   /* width or height is 0               */
  JpegStatusBadArgument = 0x2F00,     /* quality, sampling, mode or size    */
  JpegStatusBadBitCount = 0x21A0,     /* bitCount not 8, 16, 24 or 32       */
  JpegStatusBadJob = 0x0190,          /* malformed internal job record      */
  JpegStatusOverrun = 0x0005,         /* a buffer ended: source or output   */
  JpegStatusApp0Failed = 0x0090,      /* stage: APP0 segment                */
  JpegStatusDhtFailed = 0x0040,       /* stage: DHT segment                 */
  JpegStatusDqtFailed = 0x0050,       /* stage: DQT segment                 */
  JpegStatusSofFailed = 0x0070,       /* stage: SOF0 segment                */
  JpegStatusScanFailed = 0x0080       /* stage: SOS segment and scan data   */
};

/* Encodes params->srcBits. mode 0 measures: dstSize receives the exact length
 * the stream will take, dstBuffer is ignored. mode 1 encodes into dstBuffer,
 * whose capacity is dstSize on entry; dstSize receives the length written.
 * Returns 0 on success, otherwise a status code as above; after a failure past
 * validation dstSize is 0. */
DIBJPEG_API uint16_t Jpeg_EncodeStart(JpegEncodeParams* params, int32_t mode);

#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 199901L)
#define DIBJPEG_INLINE static inline
#elif defined(__GNUC__)
#define DIBJPEG_INLINE static __inline__
#else
#define DIBJPEG_INLINE static
#endif

/* An upper bound on the length encode mode can write for this parameter
 * block, whatever the pixels; 0 when the block fails validation. A buffer of
 * this size (when it is at most 0xFFFFFFFF) lets a caller encode a page in
 * one call, without measuring first.
 *
 * The stream is its headers (324 bytes through SOS for gray, 607 for
 * colour), the entropy-coded blocks, at most 2 bytes for the final partial
 * byte and its stuffing byte, and the 2-byte EOI. For each block, the most
 * complete bytes it can add, stuffing included, was found by trying every
 * block the tables can code (DC categories 0 to 11, any run of zeros, AC
 * categories 1 to 10, every pattern of extra bits, every possible pending
 * byte before it): 320 bytes with the luminance tables, 273 with the
 * chrominance tables. So the bound holds for every quality, content and
 * channel order. The MCUs: 8x8 of one block for gray; 16x16 of 4 Y + 2
 * chroma blocks at 4:2:0, 16x8 of 2 + 2 at 4:2:2, 8x8 of 1 + 2 at 4:4:4. */
DIBJPEG_INLINE uint64_t JpegEncodeBound(const JpegEncodeParams* params) {
  const uint64_t luma = 320, chroma = 273;
  uint64_t w, h;
  if (params->width == 0 || params->height == 0 || params->width > 65535 || params->height > 65535 ||
      params->quality == 0 || params->quality > 100 || params->sampling > 2)
    return 0;
  w = params->width;
  h = params->height;
  switch (params->bitCount) {
    case 8:
      return 324 + ((w + 7) / 8) * ((h + 7) / 8) * luma + 4;
    case 16:
    case 24:
    case 32:
      if (params->sampling == 0) return 607 + ((w + 15) / 16) * ((h + 15) / 16) * (4 * luma + 2 * chroma) + 4;
      if (params->sampling == 1) return 607 + ((w + 15) / 16) * ((h + 7) / 8) * (2 * luma + 2 * chroma) + 4;
      return 607 + ((w + 7) / 8) * ((h + 7) / 8) * (luma + 2 * chroma) + 4;
    default:
      return 0;
  }
}
#undef DIBJPEG_INLINE

#ifdef __cplusplus
}
#endif

/* Pin the binary layout on 64-bit targets. */
#if UINTPTR_MAX > 0xFFFFFFFFu
#if defined(__cplusplus) && __cplusplus >= 201103L
#define DIBJPEG_STATIC_ASSERT(c, m) static_assert(c, #m)
#else /* C and C++98 have no static_assert: a negative array size stops the build */
#define DIBJPEG_STATIC_ASSERT(c, m) typedef char dibjpeg_layout_##m[(c) ? 1 : -1]
#endif
DIBJPEG_STATIC_ASSERT(offsetof(JpegEncodeParams, srcBits) == 0x00, srcBits);
DIBJPEG_STATIC_ASSERT(offsetof(JpegEncodeParams, srcSize) == 0x08, srcSize);
DIBJPEG_STATIC_ASSERT(offsetof(JpegEncodeParams, dstBuffer) == 0x10, dstBuffer);
DIBJPEG_STATIC_ASSERT(offsetof(JpegEncodeParams, dstSize) == 0x18, dstSize);
DIBJPEG_STATIC_ASSERT(offsetof(JpegEncodeParams, width) == 0x1C, width);
DIBJPEG_STATIC_ASSERT(offsetof(JpegEncodeParams, height) == 0x20, height);
DIBJPEG_STATIC_ASSERT(offsetof(JpegEncodeParams, reserved) == 0x24, reserved);
DIBJPEG_STATIC_ASSERT(offsetof(JpegEncodeParams, bitCount) == 0x28, bitCount);
DIBJPEG_STATIC_ASSERT(offsetof(JpegEncodeParams, quality) == 0x2A, quality);
DIBJPEG_STATIC_ASSERT(offsetof(JpegEncodeParams, sampling) == 0x2B, sampling);
DIBJPEG_STATIC_ASSERT(offsetof(JpegEncodeParams, channelOrder) == 0x2C, channelOrder);
DIBJPEG_STATIC_ASSERT(offsetof(JpegEncodeParams, channelOrder) + 1 == 45, fields_end);
DIBJPEG_STATIC_ASSERT(sizeof(JpegEncodeParams) == 48, size);
#undef DIBJPEG_STATIC_ASSERT
#endif

#endif /* DIBJPEG_DIBJPEG_H */
