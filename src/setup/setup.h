// Job set-up: the step between the entry point and the frame writer.
#pragma once

#include "common/encoder_state.h"
#include "dibjpeg/dibjpeg.h"

namespace dibjpeg {

// Copies the job into the state, fixes the byte orders and the geometry, and
// runs the frame writer. Non-zero when the whole frame was encoded.
int SetupEncoder(const JpegEncodeParams* params, const EncodeJob* job, EncoderState* state);

}  // namespace dibjpeg
