// Writes the encoded JPEG where the user asked for it without harming what
// was there: a new file appears only complete, an existing one is written in
// place (keeping its owner, mode, links and attributes) once the JPEG is
// complete, and anything else (a device, FIFO, /dev/stdout) is written as it
// stands. INPUT itself is never written.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace dibjpeg::cli {

// The input file's identity, so that OUTPUT naming the same file (through
// any name, link or /dev/stdin) is refused.
struct FileId {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool known = false;
};

// Writes `data` to `name` ("-" is standard output). On failure returns false
// and sets *error to one line that names `name` as the user typed it.
bool WriteOutput(const std::string& name, std::span<const std::uint8_t> data, const FileId& input,
                 std::string* error);

}  // namespace dibjpeg::cli
