/* Encodes a small generated 24-bit image: measure, allocate, encode, check
 * the status. Writes the JPEG to the file named on the command line. */
#include <stdio.h>
#include <stdlib.h>

#include <dibjpeg/dibjpeg.h>

enum { Width = 64, Height = 48, Stride = (Width * 3 + 3) / 4 * 4 };

int main(int argc, char** argv) {
  static uint8_t pixels[Stride * Height];
  JpegEncodeParams params = {0};
  uint16_t status;
  uint8_t* jpeg;
  FILE* out;
  int written, x, y;

  if (argc != 2) {
    fprintf(stderr, "usage: consumer OUTPUT.jpg\n");
    return 2;
  }
  /* Rows bottom-up, each padded to 4 bytes; pixels blue, green, red. */
  for (y = 0; y < Height; ++y) {
    for (x = 0; x < Width; ++x) {
      uint8_t* p = &pixels[y * Stride + x * 3];
      p[0] = (uint8_t)(x * 4);
      p[1] = (uint8_t)(y * 5);
      p[2] = 200;
    }
  }
  params.srcBits = pixels;
  params.srcSize = sizeof pixels;
  params.width = Width;
  params.height = Height;
  params.bitCount = 24;
  params.quality = 85;
  params.sampling = 0;     /* 4:2:0 */
  params.channelOrder = 1; /* blue first */

  status = Jpeg_EncodeStart(&params, JPEG_MODE_MEASURE);
  if (status != JpegStatusSuccess) {
    fprintf(stderr, "measure failed: status 0x%04X\n", status);
    return 1;
  }
  jpeg = malloc(params.dstSize);
  if (jpeg == NULL) return 1;
  params.dstBuffer = jpeg; /* dstSize holds the measured length: the capacity */
  status = Jpeg_EncodeStart(&params, JPEG_MODE_ENCODE);
  if (status != JpegStatusSuccess) {
    fprintf(stderr, "encode failed: status 0x%04X\n", status);
    free(jpeg);
    return 1;
  }
  out = fopen(argv[1], "wb");
  written = out != NULL && fwrite(jpeg, 1, params.dstSize, out) == params.dstSize;
  if (out != NULL && fclose(out) != 0) written = 0;
  free(jpeg);
  if (!written) {
    fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  printf("wrote %s: %u bytes\n", argv[1], (unsigned)params.dstSize);
  return 0;
}
