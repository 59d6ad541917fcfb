#include "common/status.h"

namespace dibjpeg {

std::atomic<std::uint16_t> EncodeStatus{0};

}  // namespace dibjpeg
