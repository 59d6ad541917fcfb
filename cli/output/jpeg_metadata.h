// What the command-line program adds to the stream the library wrote: the
// resolution in the density fields of its JFIF APP0 segment, and an ICC
// colour profile as APP2 segments right after APP0. The library's own bytes
// stay as they are otherwise.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "input/image.h"

namespace dibjpeg::cli {

// Parses "N[xM][dpi|dpcm]", each number 1 to 65535; no unit means dpi and
// no M means M = N. False when the text is anything else.
bool ParseDensity(const std::string& text, Density* density);

// Sets the density fields of the APP0 segment the library writes first.
// False (and nothing changed) when the stream does not start that way.
bool SetDensity(std::span<std::uint8_t> jpeg, const Density& density);

// Why a profile cannot go into a JPEG of `components` (1 or 3) components,
// or "" when it can: it must carry the ICC signature, state its own length,
// describe gray or RGB data to match, and fit the 255 segments JPEG allows.
std::string CheckIccProfile(std::span<const std::uint8_t> profile, int components);

// The bytes the APP2 segments of a profile of `size` bytes take.
std::uint64_t IccSegmentsSize(std::uint64_t size);

// Moves the SOI and APP0 at the start of `jpeg` forward over the first
// IccSegmentsSize(profile.size()) bytes, which are free, and writes the
// profile's APP2 segments after them. `jpeg` holds those free bytes and then
// the stream the library wrote. False (and nothing changed) when that stream
// does not start with SOI and APP0.
bool InsertIccSegments(std::span<const std::uint8_t> profile, std::span<std::uint8_t> jpeg);

}  // namespace dibjpeg::cli
