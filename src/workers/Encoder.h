#pragma once

// Audio encoding through FFmpeg's libraries: any source FFmpeg reads, first
// audio stream, to a constant-bit-rate MP3 (libmp3lame) or to AAC in an
// MPEG-4 (.m4a) file. The output carries no tags; writeTags adds them.

#include <QByteArray>
#include <QString>

#include <atomic>
#include <expected>
#include <span>

// Whether songs can be encoded to MP3 here: libavcodec offers libmp3lame.
bool mp3EncoderAvailable();

enum class OutputFormat { Mp3, AacMp4 };

struct EncodeSettings {
    OutputFormat format = OutputFormat::Mp3;
    // For MP3: the exporter's settings container (see Mp3Settings.h); its
    // 'QUAL' atom gives the bit rate.
    QByteArray mp3Settings;
    // For AAC.
    int aacBitrateKbps = 128;
};

// The settings for the "convertToFormat" and "convertToBitrate" preferences:
// "AAC" gives AAC, anything else MP3 (as SongContext::convertsToAac).
EncodeSettings encodeSettingsFor(const QString& convertToFormat, int bitrateKbps);

// The sample rate the output gets: rates above 48 kHz come down to 44.1 kHz
// when they are a multiple of it, else to 48 kHz; then the nearest rate the
// encoder supports (the higher one on a tie). An empty list accepts any rate.
int encoderSampleRate(int sourceRate, std::span<const int> supported);

// Encodes sourcePath into destPath (created or replaced), writing as it goes
// so that its size shows progress. Mono stays mono, more than one channel
// becomes stereo. `cancel` is checked between packets. On any failure,
// cancellation included, nothing is left at destPath and the message names
// the file ("cannot open 'x': ...", "cancelled").
// A few undecodable packets are skipped as players do; a source where too many
// fail, or none decodes, is an error.
std::expected<void, QString> encodeAudio(const QString& sourcePath, const QString& destPath, const EncodeSettings& settings,
                                         const std::atomic<bool>* cancel = nullptr);
