// GIF files through giflib, one frame at a time over the Source: frame N
// (--page N, the first by default) as a viewer shows it, on the logical
// screen with frames 1 to N-1 drawn under it and their disposal methods
// applied (leave, clear to transparent, restore what was under it). Areas
// no frame covers, and those a frame clears, are transparent black. The
// transparent index of a frame's graphic control block leaves the pixel
// under it; over a transparent one it gives its colour-table entry, so a
// single frame keeps its stored colours when alpha is dropped. With
// --background white the image is composited on white. Frames after N are
// counted, their data skipped undecoded.
//
// The canvas is the output buffer itself, 32-bit red first with alpha in
// the fourth byte, or 24-bit when alpha cannot count (the first frame, not
// composited on white: it is drawn on a clear screen, so its transparent
// index gives its colour-table entry too); it becomes 8-bit gray when every
// colour table drawn from is gray. A pixel index beyond its colour table is black. The pixel aspect
// ratio goes to the JFIF header, an ICCRGBG1 application extension's
// profile beside the pixels.
#include <gif_lib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "input/formats.h"

namespace dibjpeg::cli {
namespace {

struct GifJob {
  Source* source = nullptr;
  const std::uint8_t* head = nullptr;  // bytes ReadImage consumed, served first
  std::size_t headSize = 0, headUsed = 0;
  bool ended = false;  // a read came short: the file ends
};

int OnRead(GifFileType* gif, GifByteType* to, int n) {
  auto* job = static_cast<GifJob*>(gif->UserData);
  std::size_t got = 0;
  while (got < std::size_t(n) && job->headUsed < job->headSize) to[got++] = job->head[job->headUsed++];
  got += ReadBytes(job->source, to + got, std::size_t(n) - got);
  if (got < std::size_t(n)) job->ended = true;
  return int(got);
}

// giflib keeps a record of every image descriptor read (for its slurping
// interface); dropping it after each keeps a file of many frames small.
void DropSavedImages(GifFileType* gif) {
  GifFreeSavedImages(gif);
  gif->SavedImages = nullptr;
  gif->ImageCount = 0;
}

using Colours = std::array<std::array<std::uint8_t, 3>, 256>;

// The frame's colour table, unused entries black; false when it has none.
bool TableOf(const GifFileType* gif, Colours* colours, bool* gray) {
  const ColorMapObject* map = gif->Image.ColorMap ? gif->Image.ColorMap : gif->SColorMap;
  if (map == nullptr) return false;
  *colours = {};
  for (int i = 0; i < map->ColorCount && i < 256; ++i) {
    const GifColorType c = map->Colors[i];
    (*colours)[i] = {c.Red, c.Green, c.Blue};
    *gray = *gray && c.Red == c.Green && c.Green == c.Blue;
  }
  return true;
}

struct Rect {
  std::uint32_t left = 0, top = 0, width = 0, height = 0;  // clipped to the screen
};

struct Canvas {
  std::uint8_t* pixels;
  std::uint32_t width, height;
  unsigned bytes;  // 4 with alpha, 3 without
  std::uint8_t* At(std::uint32_t x, std::uint32_t y) const {
    return pixels + std::uint64_t(height - 1 - y) * DibRowStride(width, 8 * bytes) + std::uint64_t(x) * bytes;
  }
  void Copy(const Rect& r, std::uint8_t* saved, bool save) const {
    for (std::uint32_t y = 0; y < r.height; ++y) {
      std::uint8_t* row = At(r.left, r.top + y);
      std::uint8_t* keep = saved + std::uint64_t(y) * r.width * bytes;
      save ? std::memcpy(keep, row, r.width * bytes) : std::memcpy(row, keep, r.width * bytes);
    }
  }
  void Clear(const Rect& r) const {
    for (std::uint32_t y = 0; y < r.height; ++y) std::memset(At(r.left, r.top + y), 0, r.width * bytes);
  }
};

// A frame's LZW-coded indexes, a row at a time, from the data blocks giflib
// hands over (giflib's own line decoder takes twice as long). Codes grow
// from the minimum size plus one to 12 bits; a full table stays as it is
// until a clear code.
class Lzw {
 public:
  explicit Lzw(GifFileType* gif) : gif_(gif) {}
  // giflib error code, or 0.
  int Start() {
    int minimum = 0;
    if (DGifGetCode(gif_, &minimum, &block_) == GIF_ERROR) return gif_->Error;
    if (minimum < 1 || minimum > 8) return D_GIF_ERR_IMAGE_DEFECT;
    minimum_ = minimum;
    clear_ = 1 << minimum;
    for (int i = 0; i < clear_; ++i) suffix_[i] = first_[i] = std::uint8_t(i), length_[i] = 1;
    Reset();
    Open();
    return 0;
  }
  // The next `n` indexes; giflib error code, or 0.
  int Read(std::uint8_t* out, int n) {
    int filled = std::min(spillEnd_ - spillAt_, n);
    std::memcpy(out, spill_ + spillAt_, std::size_t(filled));
    spillAt_ += filled;
    while (filled < n) {
      const int code = Code();
      if (code == -2) return gif_->Error;
      if (code < 0 || code == clear_ + 1) return D_GIF_ERR_EOF_TOO_SOON;  // data or end code before the last pixel
      if (code == clear_) {
        Reset();
        continue;
      }
      if (code > next_ || (code == next_ && prev_ < 0)) return D_GIF_ERR_IMAGE_DEFECT;
      if (prev_ >= 0 && next_ < 4096) {  // the previous string and this one's first index
        prefix_[next_] = std::uint16_t(prev_);
        suffix_[next_] = code < next_ ? first_[code] : first_[prev_];
        first_[next_] = first_[prev_];
        length_[next_] = std::uint16_t(length_[prev_] + 1);
        if (++next_ == 1 << size_ && size_ < 12) ++size_;
      }
      prev_ = code;
      const int length = length_[code];
      std::uint8_t* to = length <= n - filled ? out + filled : spill_;  // a string may run into the next row
      for (int i = length - 1, c = code; i >= 0; --i, c = prefix_[c]) to[i] = suffix_[c];
      if (to == spill_) {
        std::memcpy(out + filled, spill_, std::size_t(n - filled));
        spillAt_ = n - filled, spillEnd_ = length;
        filled = n;
      } else {
        filled += length;
      }
    }
    return 0;
  }
  // Reads past the frame's last data block; giflib error code, or 0.
  int Finish() {
    while (block_ != nullptr) {
      if (DGifGetCodeNext(gif_, &block_) == GIF_ERROR) return gif_->Error;
    }
    return 0;
  }

 private:
  void Reset() { size_ = minimum_ + 1, next_ = clear_ + 2, prev_ = -1; }
  void Open() {
    at_ = block_ != nullptr ? block_ + 1 : nullptr;
    end_ = block_ != nullptr ? at_ + block_[0] : nullptr;
  }
  // The next code; -1 when the blocks end, -2 on a read error.
  int Code() {
    while (bits_ < size_) {
      while (at_ == end_) {
        if (block_ == nullptr) return -1;
        if (DGifGetCodeNext(gif_, &block_) == GIF_ERROR) return -2;
        Open();
      }
      bits_ += 8;
      acc_ |= std::uint32_t(*at_++) << (bits_ - 8);
    }
    const int code = int(acc_ & ((1u << size_) - 1));
    acc_ >>= size_;
    bits_ -= size_;
    return code;
  }

  GifFileType* gif_;
  GifByteType* block_ = nullptr;  // the current data block: its length, then its bytes
  const std::uint8_t *at_ = nullptr, *end_ = nullptr;
  std::uint32_t acc_ = 0;
  int bits_ = 0, minimum_ = 0, size_ = 0, clear_ = 0, next_ = 0, prev_ = -1;
  std::uint16_t prefix_[4096] = {}, length_[4096] = {};
  std::uint8_t suffix_[4096] = {}, first_[4096] = {}, spill_[4096] = {};
  int spillAt_ = 0, spillEnd_ = 0;
};

// Decodes the current frame onto the canvas; giflib error code, or 0.
int DrawFrame(GifFileType* gif, const Canvas& canvas, const Colours& colours, int transparent) {
  const GifImageDesc& d = gif->Image;
  std::vector<GifPixelType> line(std::size_t(d.Width));
  auto lzw = std::make_unique<Lzw>(gif);
  if (const int code = lzw->Start()) return code;
  constexpr int PassStart[] = {0, 4, 2, 1}, PassStep[] = {8, 8, 4, 2};  // interlaced row order
  const int passes = d.Interlace ? 4 : 1;
  const std::uint32_t left = std::uint32_t(d.Left);
  const std::uint32_t count = left < canvas.width ? std::min(std::uint32_t(d.Width), canvas.width - left) : 0;
  for (int pass = 0; pass < passes; ++pass) {
    for (int r = d.Interlace ? PassStart[pass] : 0; r < d.Height; r += d.Interlace ? PassStep[pass] : 1) {
      if (const int code = lzw->Read(line.data(), d.Width)) return code;
      const std::int64_t y = std::int64_t(d.Top) + r;
      if (y >= canvas.height || count == 0) continue;
      std::uint8_t* p = canvas.At(left, std::uint32_t(y));
      if (canvas.bytes == 3) {
        for (std::uint32_t i = 0; i < count; ++i, p += 3) std::memcpy(p, colours[line[i]].data(), 3);
        continue;
      }
      for (std::uint32_t i = 0; i < count; ++i, p += 4) {
        const int index = line[i];
        if (index == transparent && p[3] != 0) continue;
        std::memcpy(p, colours[std::size_t(index)].data(), 3);
        p[3] = index == transparent ? 0 : 255;
      }
    }
  }
  return lzw->Finish();
}

// Reads past the current frame's data without decoding it.
bool SkipFrame(GifFileType* gif) {
  int codeSize = 0;
  GifByteType* block = nullptr;
  if (DGifGetCode(gif, &codeSize, &block) == GIF_ERROR) return false;
  while (block != nullptr) {
    if (DGifGetCodeNext(gif, &block) == GIF_ERROR) return false;
  }
  return true;
}

bool Read(GifFileType* gif, GifJob* job, Source* source, const ReadOptions& options, Image* image,
          std::string* error) {
  image->format = "GIF";
  image->channelOrder = 0;
  if (gif->SWidth <= 0 || gif->SHeight <= 0) {
    return Refuse(error, "GIF with a logical screen of " + Num(std::uint64_t(gif->SWidth)) + " x " +
                             Num(std::uint64_t(gif->SHeight)) + " pixels", "at least 1 x 1 pixels");
  }
  const unsigned bits = options.page == 1 && !options.whiteBackground ? 24 : 32;
  if (!AllocatePixels(*source, options, std::uint64_t(gif->SWidth), std::uint64_t(gif->SHeight), bits, 0, image,
                      error)) {
    return false;
  }
  if (gif->AspectByte != 0) image->density = {0, std::uint16_t(gif->AspectByte + 15), 64};  // (n + 15) / 64
  const Canvas canvas{image->pixels.get(), image->width, image->height, bits / 8};
  const auto refuse = [&](int code, std::uint32_t frame) {
    if (job->ended) {  // giflib gives D_GIF_ERR_READ_FAILED for bad data too
      return Refuse(error, "truncated GIF: the file ends at byte " + Num(source->position) + " in frame " +
                               Num(frame), "complete files");
    }
    return Refuse(error, "unreadable GIF: frame " + Num(frame) + ": " + GifErrorString(code),
                  "complete, valid GIF files");
  };

  GraphicsControlBlock control = {DISPOSE_DO_NOT, false, 0, NO_TRANSPARENT_COLOR};
  struct Pending {
    int disposal = DISPOSAL_UNSPECIFIED;
    Rect rect;
    std::vector<std::uint8_t> saved;  // what DISPOSE_PREVIOUS restores
  } last;
  bool gray = true, profileSeen = false;
  std::uint32_t frames = 0;
  for (;;) {
    GifRecordType type = UNDEFINED_RECORD_TYPE;
    if (DGifGetRecordType(gif, &type) == GIF_ERROR) {
      if (job->ended && frames >= 1) break;  // the trailer missing after the last frame
      return refuse(gif->Error, frames + 1);
    }
    if (type == TERMINATE_RECORD_TYPE) break;
    if (type == EXTENSION_RECORD_TYPE) {
      int code = 0;
      GifByteType* ext = nullptr;
      if (DGifGetExtension(gif, &code, &ext) == GIF_ERROR) return refuse(gif->Error, frames + 1);
      bool profile = false;
      if (ext != nullptr && code == GRAPHICS_EXT_FUNC_CODE) DGifExtensionToGCB(ext[0], ext + 1, &control);
      if (ext != nullptr && code == APPLICATION_EXT_FUNC_CODE && ext[0] == 11 && !profileSeen &&
          std::memcmp(ext + 1, "ICCRGBG1012", 11) == 0) {
        profile = profileSeen = true;
      }
      for (;;) {
        if (DGifGetExtensionNext(gif, &ext) == GIF_ERROR) return refuse(gif->Error, frames + 1);
        if (ext == nullptr) break;
        if (!profile) continue;
        if (image->iccProfile.size() + ext[0] > MaxIccProfile) {
          image->iccLeftOut = "GIF ICC profile of over " + Num(MaxIccProfile) + " bytes, more than a JPEG holds";
          image->iccProfile.clear();
          profile = false;
        } else {
          image->iccProfile.insert(image->iccProfile.end(), ext + 1, ext + 1 + ext[0]);
        }
      }
      continue;
    }
    if (type != IMAGE_DESC_RECORD_TYPE) return refuse(D_GIF_ERR_WRONG_RECORD, frames + 1);
    if (DGifGetImageDesc(gif) == GIF_ERROR) return refuse(gif->Error, frames + 1);
    DropSavedImages(gif);
    ++frames;
    if (frames > options.page || gif->Image.Width <= 0 || gif->Image.Height <= 0) {
      if (!SkipFrame(gif)) return refuse(gif->Error, frames);
      control = {DISPOSE_DO_NOT, false, 0, NO_TRANSPARENT_COLOR};
      continue;
    }
    const GifImageDesc& d = gif->Image;
    const std::uint64_t area = std::uint64_t(d.Width) * std::uint64_t(d.Height);
    if (source->maxPixels != 0 && area > source->maxPixels) {
      return Refuse(error, "GIF frame " + Num(frames) + " of " + Num(std::uint64_t(d.Width)) + " x " +
                               Num(std::uint64_t(d.Height)) + " pixels, over the limit of " +
                               Num(source->maxPixels) + " pixels",
                    "up to " + Num(source->maxPixels) +
                        " pixels (--max-pixels N raises the limit, --max-pixels 0 lifts it)");
    }
    Colours colours;
    if (!TableOf(gif, &colours, &gray)) {
      return Refuse(error, "GIF frame " + Num(frames) + " without a colour table", "frames with a colour table");
    }
    // The previous frame's disposal, then this one's area kept if it asks
    // to be undone.
    if (last.disposal == DISPOSE_BACKGROUND) canvas.Clear(last.rect);
    if (last.disposal == DISPOSE_PREVIOUS) canvas.Copy(last.rect, last.saved.data(), false);
    last.disposal = control.DisposalMode;
    last.rect = {};
    if (std::uint32_t(d.Left) < canvas.width && std::uint32_t(d.Top) < canvas.height) {
      last.rect = {std::uint32_t(d.Left), std::uint32_t(d.Top),
                   std::min<std::uint32_t>(std::uint32_t(d.Width), canvas.width - std::uint32_t(d.Left)),
                   std::min<std::uint32_t>(std::uint32_t(d.Height), canvas.height - std::uint32_t(d.Top))};
    }
    if (last.disposal == DISPOSE_PREVIOUS && frames < options.page) {
      last.saved.resize(std::uint64_t(last.rect.width) * last.rect.height * canvas.bytes);
      canvas.Copy(last.rect, last.saved.data(), true);
    }
    if (const int code = DrawFrame(gif, canvas, colours, control.TransparentColor)) return refuse(code, frames);
    control = {DISPOSE_DO_NOT, false, 0, NO_TRANSPARENT_COLOR};
  }
  if (frames == 0) return Refuse(error, "GIF without any image", "GIF files holding an image");
  image->pageCount = frames;
  if (options.page > frames) return true;  // ReadImage refuses it
  if (frames > 1) image->format = "GIF frame " + Num(options.page) + " of " + Num(frames);
  if (options.whiteBackground) CompositeAlphaOnWhite(image);
  if (gray) ConvertToGray(image);
  return true;
}

}  // namespace

bool ReadGif(Source* source, const std::uint8_t* head, std::size_t headSize, const ReadOptions& options,
             Image* image, std::string* error) {
  GifJob job{source, head, headSize};
  int code = 0;
  GifFileType* gif = DGifOpen(&job, OnRead, &code);
  if (gif == nullptr) {
    if (job.ended) {
      return Refuse(error, "truncated GIF: " + Num(source->position) + " bytes, shorter than its header",
                    "complete files");
    }
    return Refuse(error, std::string("unreadable GIF: ") + GifErrorString(code), "complete, valid GIF files");
  }
  const bool ok = Read(gif, &job, source, options, image, error);
  DGifCloseFile(gif, &code);
  return ok;
}

}  // namespace dibjpeg::cli
