// Job set-up: copies the job into the state, fixes the stream byte orders and
// derives the geometry and per-MCU functions, then runs the frame writer.
#include "setup/setup.h"

#include "common/encoder_state.h"
#include "common/status.h"
#include "jpeg/jpeg.h"
#include "pixels/pixels.h"

namespace dibjpeg {

int SetupEncoder(const JpegEncodeParams* params, const EncodeJob* job, EncoderState* state) {
  if (job->reserved != 0) return FailWith(StatusBadJob);

  state->quality = job->quality;
  state->mode = job->mode;
  state->encodeBlock = job->encodeBlock;
  state->restartInterval = job->restartInterval;
  state->fetchMcu = job->readMcu;

  state->source->ops.SetReadOrder(state->source, 1);  // pixels: little-endian words
  state->sink->ops.SetWriteOrder(state->sink, 0);     // JPEG: big-endian fields
  state->pixelBase = state->source->pos;

  state->width = params->width;
  state->height = params->height;
  // The DIB row length: pixel bytes rounded up to a multiple of 4.
  state->rowStride = ((params->width * params->bitCount + 31) >> 3) & ~3u;

  if (params->bitCount == 8) {
    state->componentCount = 1;
    state->mcuWidth = 8;
    state->mcuHeight = 8;
    state->assembleMcu = nullptr;
  } else {
    state->componentCount = 3;
    switch (params->sampling) {
      case 0:
        state->mcuWidth = 16;
        state->mcuHeight = 16;
        state->assembleMcu = AssembleMcu420;
        break;
      case 1:
        state->mcuWidth = 16;
        state->mcuHeight = 8;
        state->assembleMcu = AssembleMcu422;
        break;
      default:
        state->mcuWidth = 8;
        state->mcuHeight = 8;
        state->assembleMcu = AssembleMcu444;
        break;
    }
  }
  return EncodeFrame(state);
}

}  // namespace dibjpeg
