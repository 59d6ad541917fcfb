/* The public header compiles as C89 and later (and, through c_api_from_cxx.cpp,
 * as C++98 and later) and the shared library works from C. */
#include <stdio.h>
#include <string.h>

#include "dibjpeg/dibjpeg.h"

static int failures = 0;

static void Expect(int ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "FAILED: %s\n", what);
    ++failures;
  }
}

int main(void) {
  uint8_t pixel[4] = {128, 0, 0, 0};
  uint8_t out[512];
  JpegEncodeParams p;
  uint16_t status;
  memset(&p, 0, sizeof p);
  p.srcBits = pixel;
  p.srcSize = 1;
  p.width = 1;
  p.height = 1;
  p.bitCount = 8;
  p.quality = 50;

  status = Jpeg_EncodeStart(&p, JPEG_MODE_MEASURE);
  Expect(status == JpegStatusSuccess, "measure succeeds");
  Expect(p.dstSize == 327, "measured 327 bytes");

  p.dstBuffer = out;
  p.dstSize = sizeof out;
  status = Jpeg_EncodeStart(&p, JPEG_MODE_ENCODE);
  Expect(status == JpegStatusSuccess, "encode succeeds");
  Expect(p.dstSize == 327, "wrote 327 bytes");
  Expect(out[0] == 0xFF && out[1] == 0xD8 && out[325] == 0xFF && out[326] == 0xD9, "SOI ... EOI");

  p.dstSize = 10;
  status = Jpeg_EncodeStart(&p, JPEG_MODE_ENCODE);
  Expect(status == (JpegStatusBase | JpegStatusApp0Failed | JpegStatusOverrun), "10-byte buffer fails in APP0");
  Expect(p.dstSize == 0, "dstSize 0 after failure");

  p.width = 0;
  p.dstSize = 77;
  Expect(Jpeg_EncodeStart(&p, 1) == JpegStatusZeroDimension, "zero width");
  Expect(p.dstSize == 77, "dstSize untouched by validation");

  return failures == 0 ? 0 : 1;
}
