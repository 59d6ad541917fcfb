// Reads the image files the command-line encoder accepts (BMP, PNM and PAM,
// PNG), recognised by their content.
#pragma once

#include <string>

#include "input/image.h"

namespace dibjpeg::cli {

// Parses the file. On failure returns false and sets *error to one line
// saying what was found and what is supported.
bool ReadImage(Source* source, const ReadOptions& options, Image* image, std::string* error);

}  // namespace dibjpeg::cli
