// Loaded into the program (LD_PRELOAD) by the mapped-input tests: right after
// the program maps its input file, cuts that file to nothing, as another
// process may at any moment.
#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>

extern "C" void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
  using Mmap = void* (*)(void*, size_t, int, int, int, off_t);
  static const auto next = reinterpret_cast<Mmap>(dlsym(RTLD_NEXT, "mmap"));
  void* mapped = next(address, length, protection, flags, fd, offset);
  if (fd >= 0 && mapped != MAP_FAILED) {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    if (truncate(path, 0) != 0) std::perror("cut_mapped_input");
  }
  return mapped;
}
