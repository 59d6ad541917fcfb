// CMYK to sRGB with Little CMS: the file's profile in, lcms2's built-in sRGB
// out, perceptual intent, a row at a time.
#include "input/cmyk.h"

#ifdef DIBJPEG_HAVE_LCMS2
#include <lcms2.h>
#endif

#include "input/reader.h"

namespace dibjpeg::cli {

#ifdef DIBJPEG_HAVE_LCMS2

CmykToRgb::~CmykToRgb() {
  if (transform_ != nullptr) cmsDeleteTransform(static_cast<cmsHTRANSFORM>(transform_));
}

bool CmykToRgb::Start(const std::vector<std::uint8_t>& profile, unsigned samples, unsigned bytes, bool inverted,
                      std::string* why) {
  cmsSetLogErrorHandler(nullptr);  // lcms2 says nothing; the caller does
  cmsHPROFILE in = cmsOpenProfileFromMem(profile.data(), static_cast<cmsUInt32Number>(profile.size()));
  if (in == nullptr) {
    *why = "its ICC profile (" + Num(profile.size()) + " bytes) is not one lcms2 can read";
    return false;
  }
  if (cmsGetColorSpace(in) != cmsSigCmykData) {
    const std::uint32_t s = cmsGetColorSpace(in);
    const char space[5] = {char(s >> 24), char(s >> 16), char(s >> 8), char(s), 0};
    cmsCloseProfile(in);
    *why = std::string("its ICC profile is for '") + space + "' data, not CMYK";
    return false;
  }
  cmsHPROFILE out = cmsCreate_sRGBProfile();
  const cmsUInt32Number format =
      COLORSPACE_SH(PT_CMYK) | CHANNELS_SH(4) | BYTES_SH(bytes) | EXTRA_SH(samples - 4) | FLAVOR_SH(inverted ? 1 : 0);
  transform_ = out == nullptr ? nullptr : cmsCreateTransform(in, format, out, TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
  cmsCloseProfile(in);
  if (out != nullptr) cmsCloseProfile(out);
  if (transform_ == nullptr) *why = "lcms2 cannot convert from its ICC profile to sRGB";
  return transform_ != nullptr;
}

void CmykToRgb::Convert(const void* cmyk, std::uint8_t* rgb, std::uint32_t pixels) const {
  cmsDoTransform(static_cast<cmsHTRANSFORM>(transform_), cmyk, rgb, pixels);
}

#else

CmykToRgb::~CmykToRgb() = default;

bool CmykToRgb::Start(const std::vector<std::uint8_t>&, unsigned, unsigned, bool, std::string* why) {
  *why = "this build cannot convert CMYK (built without lcms2)";
  return false;
}

void CmykToRgb::Convert(const void*, std::uint8_t*, std::uint32_t) const {}

#endif

bool RefuseCmykWithoutProfile(const std::string& what, std::string* error) {
  return Refuse(
      error, what + " without an embedded ICC profile: how its inks look is unknown, and the colours are not guessed",
      "CMYK with its ICC profile (embed one, or convert the file to RGB first)");
}

}  // namespace dibjpeg::cli
