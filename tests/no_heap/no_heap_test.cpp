// No heap use: this executable replaces the C allocator (malloc, calloc,
// realloc, free, aligned_alloc and the other glibc entry points) and the
// global operator new/delete with versions that count their calls while a
// window is open, and proves that no Jpeg_EncodeStart call reaches any of
// them: both modes, every pixel format, successes and every kind of failure.
// It is its own program because the sanitizers replace the allocator too.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "test_support.h"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void __libc_free(void* p);
void* __libc_memalign(std::size_t alignment, std::size_t size);
}

namespace {

enum Entry { Malloc, Calloc, Realloc, Free, AlignedAlloc, New, NewArray, Delete, DeleteArray, EntryCount };
std::atomic<bool> armed{false};
std::atomic<int> calls[EntryCount];

void Note(Entry e) {
  if (armed.load(std::memory_order_relaxed)) calls[e].fetch_add(1, std::memory_order_relaxed);
}

void* NewOrThrow(std::size_t size, Entry e) {
  Note(e);
  if (void* p = __libc_malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}

void* AlignedNewOrThrow(std::size_t size, std::align_val_t a, Entry e) {
  Note(e);
  if (void* p = __libc_memalign(static_cast<std::size_t>(a), size ? size : 1)) return p;
  throw std::bad_alloc();
}

}  // namespace

extern "C" {
void* malloc(std::size_t size) {
  Note(Malloc);
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
  Note(Calloc);
  return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) {
  Note(Realloc);
  return __libc_realloc(p, size);
}
void free(void* p) {
  Note(Free);
  __libc_free(p);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
  Note(AlignedAlloc);
  return __libc_memalign(alignment, size);
}
void* memalign(std::size_t alignment, std::size_t size) {
  Note(AlignedAlloc);
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
  Note(AlignedAlloc);
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) return 12;  // ENOMEM
  *out = p;
  return 0;
}
}

void* operator new(std::size_t size) { return NewOrThrow(size, New); }
void* operator new[](std::size_t size) { return NewOrThrow(size, NewArray); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  Note(New);
  return __libc_malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  Note(NewArray);
  return __libc_malloc(size ? size : 1);
}
void* operator new(std::size_t size, std::align_val_t a) { return AlignedNewOrThrow(size, a, New); }
void* operator new[](std::size_t size, std::align_val_t a) { return AlignedNewOrThrow(size, a, NewArray); }
void operator delete(void* p) noexcept {
  Note(Delete);
  __libc_free(p);
}
void operator delete[](void* p) noexcept {
  Note(DeleteArray);
  __libc_free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  Note(Delete);
  __libc_free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  Note(DeleteArray);
  __libc_free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  Note(Delete);
  __libc_free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  Note(DeleteArray);
  __libc_free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  Note(Delete);
  __libc_free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  Note(DeleteArray);
  __libc_free(p);
}

namespace dibjpeg::test {
namespace {

// Counts the allocator calls made while `body` runs.
template <typename Body>
int CountAllocations(Body&& body) {
  for (auto& c : calls) c.store(0);
  armed.store(true);
  body();
  armed.store(false);
  int total = 0;
  for (auto& c : calls) total += c.load();
  return total;
}

// The C entry points are called through volatile pointers so that no call
// can be folded away.
void* (*volatile mallocFn)(std::size_t) = malloc;
void* (*volatile callocFn)(std::size_t, std::size_t) = calloc;
void* (*volatile reallocFn)(void*, std::size_t) = realloc;
void (*volatile freeFn)(void*) = free;
void* (*volatile alignedAllocFn)(std::size_t, std::size_t) = aligned_alloc;
void* held = nullptr;

// Without this the other test could pass with an interposer that never runs.
TEST(NoHeap, EveryReplacedEntryPointIsCounted) {
  struct Case {
    const char* name;
    Entry entry;
    void (*run)();
  };
  const Case cases[] = {
      {"malloc", Malloc, [] { held = mallocFn(24); }},
      {"calloc", Calloc, [] { held = callocFn(3, 8); }},
      {"realloc", Realloc, [] { held = reallocFn(held, 48); }},
      {"free", Free, [] { freeFn(held); }},
      {"aligned_alloc", AlignedAlloc, [] { held = alignedAllocFn(64, 64); }},
      {"free (aligned)", Free, [] { freeFn(held); }},
      {"operator new", New, [] { held = ::operator new(16); }},
      {"operator delete", Delete, [] { ::operator delete(held); }},
      {"operator new[]", NewArray, [] { held = ::operator new[](16); }},
      {"operator delete[]", DeleteArray, [] { ::operator delete[](held); }},
      {"aligned operator new", New, [] { held = ::operator new(16, std::align_val_t{64}); }},
      {"aligned operator delete", Delete, [] { ::operator delete(held, std::align_val_t{64}); }},
  };
  for (const Case& k : cases) {
    CountAllocations(k.run);
    EXPECT_GE(calls[k.entry].load(), 1) << k.name;
  }
}

struct Format {
  int bitCount;
  int channelOrder;
  int sampling;
};

const Format Formats[] = {{8, 0, 0}, {16, 0, 0}, {16, 1, 1}, {24, 0, 2}, {24, 1, 0}, {32, 0, 1}, {32, 1, 2}};

enum class Road { Success, BadQuality, BadBitCount, ZeroWidth, BadMode, ShortSource, EmptySource, ShortOutput, NoOutput };

struct RoadCase {
  const char* name;
  Road road;
};

const RoadCase Roads[] = {
    {"success", Road::Success},          {"quality 0", Road::BadQuality},      {"bitCount 12", Road::BadBitCount},
    {"width 0", Road::ZeroWidth},        {"mode byte 5", Road::BadMode},       {"source one byte short", Road::ShortSource},
    {"empty source", Road::EmptySource}, {"output one byte short", Road::ShortOutput}, {"no output room", Road::NoOutput},
};

TEST(NoHeap, EncodeStartNeverAllocates) {
  constexpr std::uint32_t Width = 37, Height = 21;
  for (const Format& format : Formats) {
    const Bytes full = ToDib(MakeTestImage(Width, Height), format.bitCount, format.channelOrder == 1);
    const EncodeResult measured = Encode(full, Width, Height, format.bitCount, 75, format.sampling,
                                         format.channelOrder, JPEG_MODE_MEASURE, 0);
    ASSERT_EQ(measured.status, 0);
    const std::uint32_t needed = RowStride(Width, format.bitCount) * (Height - 1) + Width * format.bitCount / 8;
    for (const RoadCase& road : Roads) {
      for (std::int32_t mode : {JPEG_MODE_MEASURE, JPEG_MODE_ENCODE}) {
        SCOPED_TRACE(testing::Message() << format.bitCount << "-bit, order " << format.channelOrder << ", "
                                        << road.name << ", mode " << mode);
        // Everything the call needs is prepared before the window opens.
        Bytes out(measured.dstSize + 16, 0);
        JpegEncodeParams p{};
        p.srcBits = full.data();
        p.srcSize = static_cast<std::uint32_t>(full.size());
        p.dstBuffer = out.data();
        p.dstSize = static_cast<std::uint32_t>(out.size());
        p.width = Width;
        p.height = Height;
        p.bitCount = static_cast<std::uint16_t>(format.bitCount);
        p.quality = 75;
        p.sampling = static_cast<std::uint8_t>(format.sampling);
        p.channelOrder = static_cast<std::uint8_t>(format.channelOrder);
        std::int32_t callMode = mode;
        switch (road.road) {
          case Road::Success: break;
          case Road::BadQuality: p.quality = 0; break;
          case Road::BadBitCount: p.bitCount = 12; break;
          case Road::ZeroWidth: p.width = 0; break;
          case Road::BadMode: callMode = 5; break;
          case Road::ShortSource: p.srcSize = needed - 1; break;
          case Road::EmptySource: p.srcSize = 0; break;
          case Road::ShortOutput: p.dstSize = measured.dstSize - 1; break;
          case Road::NoOutput: p.dstSize = 0; break;
        }
        std::uint16_t status = 0xFFFF;
        EXPECT_EQ(CountAllocations([&] { status = Jpeg_EncodeStart(&p, callMode); }), 0);
        // The call really took the road it was meant to.
        const bool roomMatters = road.road == Road::ShortOutput || road.road == Road::NoOutput;
        const bool succeeds = road.road == Road::Success || (roomMatters && mode == JPEG_MODE_MEASURE);
        EXPECT_EQ(status == 0, succeeds) << "status " << status;
        if (succeeds) {
          EXPECT_EQ(p.dstSize, measured.dstSize);
        }
      }
    }
  }
}

}  // namespace
}  // namespace dibjpeg::test
