#include "Encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

bool mp3EncoderAvailable() { return avcodec_find_encoder_by_name("libmp3lame") != nullptr; }
