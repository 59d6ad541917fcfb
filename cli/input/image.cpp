// The pixel buffer, densities and rows of the image the program encodes, and
// the conversion to gray.
#include "input/image.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <limits>

#ifndef _WIN32
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace dibjpeg::cli {

#ifndef _WIN32
namespace {

// The one live file mapping, whole pages [start, end), and whether a page of
// it could not be read. The SIGBUS handler reads them.
std::atomic<std::uintptr_t> fileMapStart{0}, fileMapEnd{0};
std::uintptr_t pageSize = 0;
volatile std::sig_atomic_t fileMapFailed = 0;

// A page of the file mapping that cannot be read (the file was cut short
// after it was mapped, or its storage failed) gets zeros mapped over it and
// every page after it, and the faulting read is run again; any other bus
// error takes its default action.
void OnBusError(int, siginfo_t* info, void*) {
  const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
  const std::uintptr_t start = fileMapStart.load(), end = fileMapEnd.load();
  if (start > 1 && at >= start && at < end) {  // 1: the slot being claimed
    const std::uintptr_t page = at - (at - start) % pageSize;
    if (mmap(reinterpret_cast<void*>(page), end - page, PROT_READ | PROT_WRITE,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
      fileMapFailed = 1;
      return;
    }
  }
  std::signal(SIGBUS, SIG_DFL);
  std::raise(SIGBUS);  // delivered, with the default action, when the handler returns
}

}  // namespace
#endif

void FreeBytes::operator()(std::uint8_t* p) const {
#ifndef _WIN32
  if (file) {
    fileMapEnd = 0;
    fileMapStart = 0;
  }
  if (mapped != 0) {
    munmap(p - offset, mapped);
    return;
  }
#endif
  std::free(p);
}

bool HugePagesOffered() {
#ifndef _WIN32
  static const bool offered = [] {
    if (const char* env = std::getenv("DIBJPEG_HUGE_PAGES"); env != nullptr && std::strcmp(env, "0") == 0) return false;
    std::FILE* file = std::fopen("/sys/kernel/mm/transparent_hugepage/enabled", "r");
    if (file == nullptr) return false;
    char text[128] = {};
    const std::size_t got = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    return got > 0 && std::strstr(text, "[never]") == nullptr;
  }();
  return offered;
#else
  return false;
#endif
}

ZeroedBytes AllocateZeroed(std::uint64_t size) {
  if (size == 0 || size > std::numeric_limits<std::size_t>::max() / 2) return nullptr;
#ifndef _WIN32
  constexpr std::size_t HugePage = std::size_t{2} << 20;
  if (size >= HugePage) {
    // Map one huge page more than needed, then unmap the slack on both sides
    // of the block that starts on a huge-page boundary. The block is whole
    // huge pages: the last one, when written, takes up to 2 MiB more than
    // the bytes asked for, and saves the 4 KiB faults of the tail.
    const std::size_t length = (size + HugePage - 1) / HugePage * HugePage;
    void* mapped = mmap(nullptr, length + HugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    auto* start = static_cast<std::uint8_t*>(mapped);
    const std::size_t head = (HugePage - reinterpret_cast<std::uintptr_t>(start) % HugePage) % HugePage;
    if (head != 0) munmap(start, head);
    munmap(start + head + length, HugePage - head);
#ifdef MADV_HUGEPAGE
    if (HugePagesOffered()) madvise(start + head, length, MADV_HUGEPAGE);  // advice: the block works without it
#endif
    return ZeroedBytes(start + head, FreeBytes{length});
  }
#endif
  return ZeroedBytes(static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(size), 1)));
}

ZeroedBytes MapFileBytes(int fd, std::uint64_t offset, std::uint64_t size) {
#ifndef _WIN32
  struct stat st;
  if (size == 0 || fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      offset > std::uint64_t(st.st_size) || size > std::uint64_t(st.st_size) - offset) {
    return nullptr;
  }
  static const bool handled = [] {
    pageSize = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    struct sigaction action = {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    return pageSize != 0 && sigaction(SIGBUS, &action, nullptr) == 0;
  }();
  const std::uint64_t head = offset % pageSize;
  if (!handled || size > std::numeric_limits<std::size_t>::max() - pageSize - head) return nullptr;
  const std::size_t length = static_cast<std::size_t>((head + size + pageSize - 1) / pageSize * pageSize);
#ifdef MAP_POPULATE
  constexpr int Populate = MAP_POPULATE;  // every page mapped now, not a fault each
#else
  constexpr int Populate = 0;
#endif
  // The one slot is claimed before the mapping is made, so that a bus
  // error on it always finds its pages in the slot.
  std::uintptr_t none = 0;
  if (!fileMapStart.compare_exchange_strong(none, 1)) return nullptr;
  void* mapped = mmap(nullptr, length, PROT_READ, MAP_PRIVATE | Populate, fd, off_t(offset - head));
  if (mapped == MAP_FAILED) {
    fileMapStart = 0;
    return nullptr;
  }
  fileMapFailed = 0;
  fileMapStart = reinterpret_cast<std::uintptr_t>(mapped);
  fileMapEnd = reinterpret_cast<std::uintptr_t>(mapped) + length;
  return ZeroedBytes(static_cast<std::uint8_t*>(mapped) + head, FreeBytes{length, std::size_t(head), true});
#else
  static_cast<void>(fd), static_cast<void>(offset), static_cast<void>(size);
  return nullptr;
#endif
}

void MakeWritable(const ZeroedBytes& bytes) {
#ifndef _WIN32
  const FreeBytes& mapping = bytes.get_deleter();
  if (mapping.file) mprotect(bytes.get() - mapping.offset, mapping.mapped, PROT_READ | PROT_WRITE);
#else
  static_cast<void>(bytes);
#endif
}

bool FileMappingFailed(const ZeroedBytes& bytes) {
#ifndef _WIN32
  return bytes.get_deleter().file && fileMapFailed != 0;
#else
  static_cast<void>(bytes);
  return false;
#endif
}

Density DensityFromPerMetre(std::uint64_t x, std::uint64_t y) {
  const std::uint64_t dpiX = (x * 254 + 5000) / 10000, dpiY = (y * 254 + 5000) / 10000;
  if (x > UINT32_MAX || y > UINT32_MAX || dpiX == 0 || dpiY == 0 || dpiX > 65535 || dpiY > 65535) return {};
  return {1, static_cast<std::uint16_t>(dpiX), static_cast<std::uint16_t>(dpiY)};
}

std::uint64_t DibRowStride(std::uint64_t width, unsigned bitCount) { return (width * bitCount + 31) / 32 * 4; }

void ConvertToGray(Image* image) {
  if (image->bitCount == 8) return;
  MakeWritable(image->pixels);
  const bool blueFirst = image->channelOrder == 1;
  const unsigned bytesPerPixel = image->bitCount / 8u;
  const std::uint64_t inStride = DibRowStride(image->width, image->bitCount);
  const std::uint64_t outStride = DibRowStride(image->width, 8);
  std::uint8_t* pixels = image->pixels.get();
  for (std::uint64_t r = 0; r < image->height; ++r) {
    for (std::uint64_t x = 0; x < image->width; ++x) {
      const std::uint8_t* p = pixels + r * inStride + x * bytesPerPixel;
      const int c0 = p[0], c1 = p[1], c2 = p[2];  // channel values in memory order
      const int red = blueFirst ? c2 : c0, green = c1, blue = blueFirst ? c0 : c2;
      const int y = (77 * red + 150 * green + 29 * blue + 128) >> 8;
      pixels[r * outStride + x] = static_cast<std::uint8_t>(y > 255 ? 255 : y);
    }
    std::memset(pixels + r * outStride + image->width, 0, outStride - image->width);
  }
  image->size = outStride * image->height;
  image->bitCount = 8;
  image->channelOrder = 0;
}

}  // namespace dibjpeg::cli
