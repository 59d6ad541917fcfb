// CMYK pixels (TIFF and JPEG) to 24-bit RGB, red first, through Little CMS
// with the profile the file embeds. Without a profile the inks' colours are
// unknown, so such files are refused rather than guessed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dibjpeg::cli {

class CmykToRgb {
 public:
  CmykToRgb() = default;
  CmykToRgb(const CmykToRgb&) = delete;
  CmykToRgb& operator=(const CmykToRgb&) = delete;
  ~CmykToRgb();

  // Prepares the conversion from `profile` to sRGB for pixels of `samples`
  // samples of `bytes` bytes (1, or 2 in the machine's order), C M Y K
  // first, then extra samples, ignored; `inverted` when 0 means full ink
  // (Adobe's CMYK JPEGs). False, with why, when the profile is not a usable
  // CMYK profile or the build has no lcms2.
  bool Start(const std::vector<std::uint8_t>& profile, unsigned samples, unsigned bytes, bool inverted,
             std::string* why);
  void Convert(const void* cmyk, std::uint8_t* rgb, std::uint32_t pixels) const;

 private:
  void* transform_ = nullptr;
};

// Refuses `what` (e.g. "CMYK TIFF") for having no profile.
bool RefuseCmykWithoutProfile(const std::string& what, std::string* error);

// Why the file's profile is not in the JPEG once it was applied.
constexpr char CmykProfileApplied[] =
    "the CMYK profile was applied: the pixels were converted to sRGB, which a JPEG without a profile is taken to be";

}  // namespace dibjpeg::cli
