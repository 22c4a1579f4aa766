#pragma once

// Audio encoding through FFmpeg.

// Whether songs can be encoded to MP3 here: libavcodec offers libmp3lame.
bool mp3EncoderAvailable();
