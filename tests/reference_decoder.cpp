// The reference decoder (libjpeg-turbo, as a black box) and the PSNR over
// its output. Kept apart from the other helpers: cross builds have no target
// copy of libjpeg-turbo and leave out the tests that use these.
#include "test_support.h"

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>  // after <cstdio>: it uses FILE and size_t unannounced

namespace dibjpeg::test {

namespace {

// Treats every warning as an error: a stream that needs excuses is wrong.
struct StrictErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void OnError(j_common_ptr cinfo) {
  auto* mgr = reinterpret_cast<StrictErrorManager*>(cinfo->err);
  cinfo->err->format_message(cinfo, mgr->message);
  std::longjmp(mgr->jump, 1);
}

void OnMessage(j_common_ptr cinfo, int level) {
  if (level < 0) OnError(cinfo);  // warnings come with level -1
}

}  // namespace

bool DecodeJpeg(const Bytes& jpeg, Decoded* out, std::string* error) {
  jpeg_decompress_struct cinfo;
  StrictErrorManager mgr;
  cinfo.err = jpeg_std_error(&mgr.base);
  mgr.base.error_exit = OnError;
  mgr.base.emit_message = OnMessage;
  if (setjmp(mgr.jump)) {
    *error = mgr.message;
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_save_markers(&cinfo, JPEG_APP0 + 2, 0xFFFF);
  jpeg_read_header(&cinfo, TRUE);
  out->densityUnit = cinfo.density_unit;
  out->xDensity = cinfo.X_density;
  out->yDensity = cinfo.Y_density;
  JOCTET* profile = nullptr;
  unsigned int profileSize = 0;
  out->iccProfile.clear();
  if (jpeg_read_icc_profile(&cinfo, &profile, &profileSize)) {
    out->iccProfile.assign(profile, profile + profileSize);
    std::free(profile);
  }
  cinfo.dct_method = JDCT_ISLOW;
  jpeg_start_decompress(&cinfo);
  out->width = static_cast<int>(cinfo.output_width);
  out->height = static_cast<int>(cinfo.output_height);
  out->components = cinfo.output_components;
  const std::size_t stride = std::size_t(out->width) * out->components;
  out->pixels.assign(stride * out->height, 0);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = &out->pixels[stride * cinfo.output_scanline];
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

double Psnr(const Decoded& decoded, const RgbImage& reference) {
  double sum = 0;
  std::size_t n = 0;
  for (int y = 0; y < reference.height; ++y) {
    for (int x = 0; x < reference.width; ++x) {
      const std::uint8_t* want = reference.At(x, y);
      const std::uint8_t* have = &decoded.pixels[(std::size_t(y) * decoded.width + x) * decoded.components];
      for (int c = 0; c < decoded.components; ++c) {
        const double d = double(have[c]) - want[c];
        sum += d * d;
        ++n;
      }
    }
  }
  if (sum == 0) return 99.0;
  return 10.0 * std::log10(255.0 * 255.0 * n / sum);
}

}  // namespace dibjpeg::test
