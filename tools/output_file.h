// Writes the encoded JPEG where the user asked for it without harming what
// was there: a regular file (or none yet) is replaced atomically, anything
// else (a device, FIFO, socket, /dev/stdout) is written in place.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace dibjpeg::cli {

// Writes `data` to `name` ("-" is standard output). On failure returns false
// and sets *error to one line that names `name` as the user typed it.
bool WriteOutput(const std::string& name, std::span<const std::uint8_t> data, std::string* error);

}  // namespace dibjpeg::cli
