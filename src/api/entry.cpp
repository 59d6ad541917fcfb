// The exported entry point: validates the caller's parameter block, picks the
// pixel reader, wires the streams over the caller's buffers and runs the
// encoder. Every record lives in this call's automatic storage.
#include "api/entry.h"

#include "block/block.h"
#include "common/encoder_state.h"
#include "common/status.h"
#include "pixels/pixels.h"
#include "setup/setup.h"
#include "stream/stream.h"

namespace dibjpeg {

namespace {

// SOF0 carries 16-bit dimensions; larger images cannot be described.
constexpr std::uint32_t MaxDimension = 0xFFFF;

ReadMcuFn SelectReader(std::uint16_t bitCount, std::uint8_t channelOrder) {
  const bool blueFirst = channelOrder == 1;
  switch (bitCount) {
    case 8: return ReadMcuGray8;
    case 16: return blueFirst ? ReadMcuBgr16 : ReadMcuRgb16;
    case 24: return blueFirst ? ReadMcuBgr24 : ReadMcuRgb24;
    case 32: return blueFirst ? ReadMcuBgr32 : ReadMcuRgb32;
    default: return nullptr;
  }
}

// The encoder only reads the source; the stream record is shared with the sink.
std::uint8_t* SourceBytes(const JpegEncodeParams* params) { return const_cast<std::uint8_t*>(params->srcBits); }

std::uint32_t EncodeIntoBuffer(const JpegEncodeParams* params, EncodeJob* job) {
  ByteStream source;
  ByteStream sink;
  InitMemoryStream(&source, params->srcSize, SourceBytes(params));
  InitMemoryStream(&sink, params->dstSize, params->dstBuffer);
  job->mode = JobModeEmit;
  EncoderState state;
  state.source = &source;
  state.sink = &sink;
  return SetupEncoder(params, job, &state) ? sink.pos : 0;
}

}  // namespace

std::uint32_t MeasureEncodedSize(const JpegEncodeParams* params, EncodeJob* job) {
  ByteStream source;
  ByteStream sink;
  InitMemoryStream(&source, params->srcSize, SourceBytes(params));
  InitCountingStream(&sink);
  job->mode = JobModeCount;
  if (job->version != 1) return FailWith(StatusBadJob);
  EncoderState state;
  state.source = &source;
  state.sink = &sink;
  return SetupEncoder(params, job, &state) ? sink.size : 0;
}

std::uint16_t EncodeStart(JpegEncodeParams* params, std::int32_t mode) {
  SetStatus(StatusBase);
  if (params->width == 0 || params->height == 0) {
    SetStatus(StatusZeroDimension);
    return StatusZeroDimension;
  }
  const bool badArgument = params->width > MaxDimension || params->height > MaxDimension ||
                           params->quality == 0 || params->quality > 100 || params->sampling > 2;
  if (badArgument) {
    SetStatus(StatusBadArgument);
    return StatusBadArgument;
  }
  const ReadMcuFn reader = SelectReader(params->bitCount, params->channelOrder);
  if (reader == nullptr) {
    SetStatus(StatusBadBitCount);
    return StatusBadBitCount;
  }
  EncodeJob job{.version = 1,
                .reserved = 0,
                .quality = params->quality,
                .restartInterval = 0,
                .mode = JobModeUnset,
                .readMcu = reader,
                .encodeBlock = EncodeBlock};

  std::uint32_t result;
  switch (static_cast<std::uint8_t>(mode)) {
    case JPEG_MODE_MEASURE: result = MeasureEncodedSize(params, &job); break;
    case JPEG_MODE_ENCODE: result = EncodeIntoBuffer(params, &job); break;
    default: SetStatus(StatusBadArgument); return StatusBadArgument;
  }
  params->dstSize = result;
  return result != 0 ? 0 : GetStatus();
}

}  // namespace dibjpeg

extern "C" DIBJPEG_API uint16_t Jpeg_EncodeStart(JpegEncodeParams* params, int32_t mode) {
  return dibjpeg::EncodeStart(params, mode);
}
