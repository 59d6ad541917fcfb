// JPEG files through the installed libjpeg, for input only: decoded (gray,
// YCbCr, RGB; CMYK and YCCK converted by the file's ICC profile) and then
// encoded again, a lossy re-encode. Gray becomes 8-bit gray, the rest 24-bit
// red first, a row at a time straight into the bottom-up rows. The JFIF
// density and the ICC profile go with the pixels. A file that ends early or
// that libjpeg warns about (damaged data) is refused.
#include <csetjmp>
#include <cstdio>  // jpeglib.h needs FILE and size_t first
#include <cstdlib>
#include <cstring>

#include <jerror.h>
#include <jpeglib.h>

#include "input/cmyk.h"
#include "input/formats.h"

namespace dibjpeg::cli {
namespace {

// Progressive files of more scans than this are refused: each scan goes over
// the whole image again, so a small file of many scans costs hours.
constexpr int MaxScans = 500;

struct JpegJob {
  jpeg_decompress_struct cinfo{};
  jpeg_error_mgr err{};
  jpeg_source_mgr src{};
  jpeg_progress_mgr progress{};
  std::jmp_buf jump;
  Source* source = nullptr;
  bool ended = false;  // the input ran out
  bool tooManyScans = false;
  int code = 0;  // libjpeg's message code for the error
  char message[JMSG_LENGTH_MAX] = "";
  char warning[JMSG_LENGTH_MAX] = "";
  JOCTET* profile = nullptr;  // ICC profile, malloc'ed by libjpeg
  unsigned profileSize = 0;
  std::uint8_t buffer[65536];
};

JpegJob* JobOf(j_common_ptr cinfo) { return static_cast<JpegJob*>(cinfo->client_data); }

void OnError(j_common_ptr cinfo) {
  JpegJob* job = JobOf(cinfo);
  job->code = cinfo->err->msg_code;
  cinfo->err->format_message(cinfo, job->message);
  std::longjmp(job->jump, 1);
}

// Level -1 is a warning (damaged data); the others are traces.
void OnMessage(j_common_ptr cinfo, int level) {
  JpegJob* job = JobOf(cinfo);
  if (level < 0 && job->warning[0] == '\0') cinfo->err->format_message(cinfo, job->warning);
}

void OnProgress(j_common_ptr cinfo) {
  auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (d->input_scan_number > MaxScans) {
    JobOf(cinfo)->tooManyScans = true;
    std::longjmp(JobOf(cinfo)->jump, 1);
  }
}

void OnInit(j_decompress_ptr) {}
void OnTerm(j_decompress_ptr) {}

boolean OnFill(j_decompress_ptr cinfo) {
  JpegJob* job = JobOf(reinterpret_cast<j_common_ptr>(cinfo));
  std::size_t got = job->ended ? 0 : ReadBytes(job->source, job->buffer, sizeof job->buffer);
  if (got == 0) {  // an end of image for libjpeg; the file is refused as truncated
    job->ended = true;
    job->buffer[0] = 0xFF;
    job->buffer[1] = JPEG_EOI;
    got = 2;
  }
  cinfo->src->next_input_byte = job->buffer;
  cinfo->src->bytes_in_buffer = got;
  return TRUE;
}

void OnSkip(j_decompress_ptr cinfo, long n) {
  while (n > static_cast<long>(cinfo->src->bytes_in_buffer)) {
    n -= static_cast<long>(cinfo->src->bytes_in_buffer);
    OnFill(cinfo);
  }
  cinfo->src->next_input_byte += n;
  cinfo->src->bytes_in_buffer -= static_cast<std::size_t>(n);
}

// libjpeg reports errors by longjmp, so the two functions that call it hold
// no C++ objects with destructors.
bool ReadHeader(JpegJob* job, const std::uint8_t* start, std::size_t startSize) {
  if (setjmp(job->jump)) return false;
  j_decompress_ptr cinfo = &job->cinfo;
  cinfo->err = jpeg_std_error(&job->err);
  job->err.error_exit = OnError;
  job->err.emit_message = OnMessage;
  jpeg_create_decompress(cinfo);
  cinfo->client_data = job;
  job->src = {start, startSize, OnInit, OnFill, OnSkip, jpeg_resync_to_restart, OnTerm};
  cinfo->src = &job->src;
  job->progress.progress_monitor = OnProgress;
  cinfo->progress = &job->progress;
  jpeg_save_markers(cinfo, JPEG_APP0 + 2, 0xFFFF);
  jpeg_read_header(cinfo, TRUE);
  if (!jpeg_read_icc_profile(cinfo, &job->profile, &job->profileSize)) job->profileSize = 0;
  switch (cinfo->jpeg_color_space) {
    case JCS_GRAYSCALE: cinfo->out_color_space = JCS_GRAYSCALE; break;
    case JCS_CMYK:
    case JCS_YCCK: cinfo->out_color_space = JCS_CMYK; break;
    case JCS_YCbCr:
    case JCS_RGB: cinfo->out_color_space = JCS_RGB; break;
    default: break;  // refused by the caller
  }
  return true;
}

bool ReadRows(JpegJob* job, std::uint8_t* bottom, std::uint64_t stride, std::uint8_t* cmykRow, const CmykToRgb* cmyk) {
  if (setjmp(job->jump)) return false;
  j_decompress_ptr cinfo = &job->cinfo;
  jpeg_start_decompress(cinfo);
  while (cinfo->output_scanline < cinfo->output_height && !job->ended && job->warning[0] == '\0') {
    std::uint8_t* out = bottom - std::uint64_t(cinfo->output_scanline) * stride;  // top row last in memory
    JSAMPROW row = cmykRow != nullptr ? cmykRow : out;
    jpeg_read_scanlines(cinfo, &row, 1);
    if (cmykRow != nullptr) cmyk->Convert(cmykRow, out, cinfo->output_width);
  }
  return true;
}

const char* ColourName(J_COLOR_SPACE space) {
  switch (space) {
    case JCS_GRAYSCALE: return "gray";
    case JCS_YCbCr: return "YCbCr";
    case JCS_RGB: return "RGB";
    case JCS_CMYK: return "CMYK";
    case JCS_YCCK: return "YCCK";
    default: return "unknown colour";
  }
}

// What an error means to the user: a kind of JPEG libjpeg does not decode,
// or a damaged file.
bool RefuseError(const JpegJob& job, const std::string& supported, std::string* error) {
  if (job.code == JERR_BAD_PRECISION) {
    return Refuse(error, "JPEG with " + Num(job.cinfo.data_precision) + "-bit samples", supported);
  }
  if (job.code == JERR_SOF_UNSUPPORTED) {
    return Refuse(error,
                  std::string("JPEG of a kind libjpeg does not decode (lossless or hierarchical): ") + job.message,
                  supported);
  }
  return Refuse(error, std::string("unreadable JPEG: ") + job.message, "complete, valid JPEG files");
}

bool Read(JpegJob* job, Source* source, std::span<const std::uint8_t> start, const ReadOptions& options, Image* image,
          std::string* error) {
  const std::string supported = "baseline, extended and progressive JPEG, Huffman or arithmetic coded, 8-bit";
  const auto refuse = [&] {
    if (job->tooManyScans) return Refuse(error, "JPEG with more than " + Num(MaxScans) + " scans", supported);
    if (job->ended)
      return Refuse(error, "truncated JPEG: the file ends at byte " + Num(source->position), "complete files");
    if (job->warning[0] != '\0')
      return Refuse(error, std::string("damaged JPEG: ") + job->warning, "undamaged JPEG files");
    return RefuseError(*job, supported, error);
  };
  job->source = source;
  if (!ReadHeader(job, start.data(), start.size())) return refuse();
  const jpeg_decompress_struct& c = job->cinfo;
  image->format = std::string("JPEG ") + (c.progressive_mode ? "progressive " : "") +
                  (c.arith_code ? "arithmetic " : "") + ColourName(c.jpeg_color_space);
  if (c.out_color_space != JCS_GRAYSCALE && c.out_color_space != JCS_RGB && c.out_color_space != JCS_CMYK) {
    return Refuse(error, "JPEG with " + Num(c.num_components) + " components of unknown colour",
                  "gray, YCbCr, RGB, and CMYK or YCCK with an ICC profile");
  }
  if (job->profileSize != 0) image->iccProfile.assign(job->profile, job->profile + job->profileSize);
  CmykToRgb cmyk;
  std::vector<std::uint8_t> cmykRow;
  if (c.out_color_space == JCS_CMYK) {
    const std::string what = std::string(ColourName(c.jpeg_color_space)) + " JPEG";
    if (image->iccProfile.empty()) return RefuseCmykWithoutProfile(what, error);
    std::string why;
    // Adobe's files store the inks inverted: 0 is full ink.
    if (!cmyk.Start(image->iccProfile, 4, 1, c.saw_Adobe_marker != 0, &why)) {
      return Refuse(error, what + ": " + why, "CMYK with an ICC profile for CMYK");
    }
    image->iccProfile.clear();
    image->iccLeftOut = CmykProfileApplied;
    cmykRow.resize(std::size_t(c.image_width) * 4);
  }
  const unsigned bits = c.out_color_space == JCS_GRAYSCALE ? 8 : 24;
  if (!AllocatePixels(*source, options, c.image_width, c.image_height, bits, 0, image, error)) return false;
  image->channelOrder = 0;  // red first
  if (c.saw_JFIF_marker && c.X_density != 0 && c.Y_density != 0 && c.density_unit <= 2) {
    image->density = {c.density_unit, c.X_density, c.Y_density};
  }
  const std::uint64_t stride = DibRowStride(c.image_width, bits);
  std::uint8_t* bottom = &image->pixels[(std::uint64_t(c.image_height) - 1) * stride];
  if (ReadRows(job, bottom, stride, cmykRow.empty() ? nullptr : cmykRow.data(), &cmyk) && !job->ended &&
      job->warning[0] == '\0') {
    return true;
  }
  *image = Image{};
  return refuse();
}

}  // namespace

bool ReadJpeg(Source* source, std::span<const std::uint8_t> start, const ReadOptions& options, Image* image,
              std::string* error) {
  auto job = std::make_unique<JpegJob>();
  const bool ok = Read(job.get(), source, start, options, image, error);
  jpeg_destroy_decompress(&job->cinfo);
  std::free(job->profile);
  return ok;
}

}  // namespace dibjpeg::cli
