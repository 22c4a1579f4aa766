#include "Encoder.h"

#include "Mp3Settings.h"
#include "platform/FileSystem.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

bool mp3EncoderAvailable() {
    // Asked once at start: also the moment to keep FFmpeg's chatter (encoder
    // statistics, muxer notes) off the user's terminal.
    av_log_set_level(AV_LOG_ERROR);
    return avcodec_find_encoder_by_name("libmp3lame") != nullptr;
}

EncodeSettings encodeSettingsFor(const QString& convertToFormat, int bitrateKbps) {
    EncodeSettings s;
    if (convertToFormat == u"AAC") {
        s.format = OutputFormat::AacMp4;
        s.aacBitrateKbps = bitrateKbps;
    } else {
        s.format = OutputFormat::Mp3;
        s.mp3Settings = makeMp3SettingsContainer(bitrateKbps);
    }
    return s;
}

int encoderSampleRate(int sourceRate, std::span<const int> supported) {
    int wanted = sourceRate;
    if (sourceRate > 48000) wanted = sourceRate % 44100 == 0 ? 44100 : 48000;
    if (supported.empty()) return wanted;
    int best = supported.front();
    for (int r : supported) {
        const auto d = std::abs(std::int64_t(r) - wanted), bestD = std::abs(std::int64_t(best) - wanted);
        if (d < bestD || (d == bestD && r > best)) best = r;
    }
    return best;
}

namespace {

// A run of damaged packets this long means the file is not really audio of
// this kind.
constexpr int maxConsecutiveBadPackets = 8;

QString avError(int err) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, buf, sizeof buf);
    return QString::fromUtf8(buf);
}

QString quoted(const QString& path) { return u'\'' + path + u'\''; }

// "file:" keeps a colon in a name from being read as a protocol.
QByteArray avUrl(const QString& path) { return "file:" + QFile::encodeName(path); }

struct InputCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct IoFree {
    void operator()(AVIOContext* c) const {
        av_freep(&c->buffer);
        avio_context_free(&c);
    }
};
// The source's descriptor, opened and checked by fsys::openSource.
struct SourceFd {
    int fd = -1;
    ~SourceFd() {
        if (fd >= 0) ::close(fd);
    }
};

// FFmpeg reads the source through the descriptor that was checked, so what
// it opens can't have been swapped for a FIFO or a device meanwhile.
int readSource(void* opaque, std::uint8_t* buf, int size) {
    const int fd = static_cast<SourceFd*>(opaque)->fd;
    for (;;) {
        ssize_t n = ::read(fd, buf, std::size_t(size));
        if (n > 0) return int(n);
        if (n == 0) return AVERROR_EOF;
        if (errno != EINTR) return AVERROR(errno);
    }
}
std::int64_t seekSource(void* opaque, std::int64_t offset, int whence) {
    const int fd = static_cast<SourceFd*>(opaque)->fd;
    if (whence & AVSEEK_SIZE) {
        struct stat st;
        return ::fstat(fd, &st) == 0 ? std::int64_t(st.st_size) : AVERROR(errno);
    }
    off_t at = ::lseek(fd, off_t(offset), whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : std::int64_t(at);
}
struct OutputCloser {
    void operator()(AVFormatContext* c) const {
        if (c->pb) avio_closep(&c->pb);
        avformat_free_context(c);
    }
};
struct CodecFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwrFree {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
struct FifoFree {
    void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};
struct DictFree {
    AVDictionary* d = nullptr;
    ~DictFree() { av_dict_free(&d); }
};

using Result = std::expected<void, QString>;

std::unexpected<QString> failure(const QString& message) { return std::unexpected(message); }
// "cannot <verb> '<path>': <reason>"
std::unexpected<QString> failure(const char* verb, const QString& path, const QString& reason) {
    return failure(u"cannot " + QLatin1StringView(verb) + u' ' + quoted(path) + u": " + reason);
}
std::unexpected<QString> failure(const char* verb, const QString& path, int err) { return failure(verb, path, avError(err)); }

class Encoding {
public:
    Encoding(const QString& source, const QString& dest, const std::atomic<bool>* cancel)
        : source_(source), dest_(dest), cancel_(cancel) {}
    ~Encoding() { av_channel_layout_uninit(&inLayout_); }
    Encoding(const Encoding&) = delete;
    Encoding& operator=(const Encoding&) = delete;

    Result run(const AVCodec* encoder, std::int64_t bitRate, const char* muxer);

private:
    bool cancelled() const { return cancel_ && cancel_->load(std::memory_order_relaxed); }
    Result openInput();
    Result setUpOutput(const AVFrame& first, const AVCodec* encoder, std::int64_t bitRate, const char* muxer);
    Result configureConverter(const AVFrame& f);
    Result handleFrame(const AVFrame& f);
    Result receiveFrames();
    Result decodeError(int err);
    Result drainConverter();
    Result encodeFromFifo(bool final);
    Result sendToEncoder(AVFrame* f);

    QString source_, dest_;
    const std::atomic<bool>* cancel_;
    const AVCodec* encoder_ = nullptr;
    std::int64_t bitRate_ = 0;
    const char* muxer_ = nullptr;

    // In this order: the input closes before its reader, the reader before the file.
    SourceFd sourceFd_;
    std::unique_ptr<AVIOContext, IoFree> sourceIo_;
    std::unique_ptr<AVFormatContext, InputCloser> in_;
    int streamIndex_ = -1;
    std::unique_ptr<AVCodecContext, CodecFree> dec_;
    std::unique_ptr<AVCodecContext, CodecFree> enc_;
    std::unique_ptr<AVFormatContext, OutputCloser> out_;
    std::unique_ptr<AVFrame, FrameFree> decoded_{av_frame_alloc()};
    std::unique_ptr<AVFrame, FrameFree> toEncode_{av_frame_alloc()};
    std::unique_ptr<AVPacket, PacketFree> packet_{av_packet_alloc()};
    std::unique_ptr<AVPacket, PacketFree> encodedPacket_{av_packet_alloc()};
    std::unique_ptr<AVAudioFifo, FifoFree> fifo_;

    // Conversion of decoded frames; none when they already suit the encoder.
    std::unique_ptr<SwrContext, SwrFree> swr_;
    bool converterReady_ = false;
    int inFormat_ = -1, inRate_ = 0;
    AVChannelLayout inLayout_{};
    std::vector<std::uint8_t*> convertedPlanes_;
    std::vector<std::uint8_t> convertedBuffer_;
    int convertedCapacity_ = 0;

    int frameSize_ = 0;
    std::int64_t samplesSent_ = 0;
    std::int64_t samplesDecoded_ = 0;
    int consecutiveBad_ = 0;
};

Result Encoding::openInput() {
    DictFree opts;
    // A playlist-like source must not lead FFmpeg to other files or the network.
    av_dict_set(&opts.d, "protocol_whitelist", "file", 0);
    // Only a regular file, opened without blocking: a FIFO would hold the
    // conversion, and a stop, for ever.
    std::expected<int, QString> opened = fsys::openSource(source_);
    if (!opened) return failure("open", source_, opened.error());
    sourceFd_.fd = *opened;
    constexpr int kIoBuffer = 64 * 1024;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBuffer));
    if (!buffer) return failure("open", source_, AVERROR(ENOMEM));
    sourceIo_.reset(avio_alloc_context(buffer, kIoBuffer, 0, &sourceFd_, readSource, nullptr, seekSource));
    if (!sourceIo_) {
        av_free(buffer);
        return failure("open", source_, AVERROR(ENOMEM));
    }
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) return failure("open", source_, AVERROR(ENOMEM));
    raw->pb = sourceIo_.get();
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    // The name still lets formats be told by their extension.
    if (int err = avformat_open_input(&raw, avUrl(source_).constData(), nullptr, &opts.d); err < 0)
        return failure("open", source_, err);
    in_.reset(raw);
    if (int err = avformat_find_stream_info(in_.get(), nullptr); err < 0) return failure("read", source_, err);

    for (unsigned i = 0; i < in_->nb_streams; ++i) {
        if (streamIndex_ < 0 && in_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) streamIndex_ = int(i);
        else in_->streams[i]->discard = AVDISCARD_ALL;  // artwork, other tracks
    }
    if (streamIndex_ < 0) return failure(quoted(source_) + u" has no audio stream");

    const AVStream* st = in_->streams[streamIndex_];
    const AVCodec* decoder = avcodec_find_decoder(st->codecpar->codec_id);
    if (!decoder)
        return failure("decode", source_, u"no decoder for its audio (" + QLatin1StringView(avcodec_get_name(st->codecpar->codec_id)) + u')');
    dec_.reset(avcodec_alloc_context3(decoder));
    if (!dec_) return failure("decode", source_, AVERROR(ENOMEM));
    int err = avcodec_parameters_to_context(dec_.get(), st->codecpar);
    if (err >= 0) {
        dec_->pkt_timebase = st->time_base;
        err = avcodec_open2(dec_.get(), decoder, nullptr);
    }
    if (err < 0) return failure("decode", source_, err);
    return {};
}

// The encoder is set up from the first decoded frame: its rate, layout and
// format are what the decoder really gives.
Result Encoding::setUpOutput(const AVFrame& first, const AVCodec* encoder, std::int64_t bitRate, const char* muxer) {
    const auto fail = [&](const char* verb, int err) { return failure(verb, dest_, err); };

    std::vector<int> rates;
    for (const int* r = encoder->supported_samplerates; r && *r; ++r) rates.push_back(*r);
    const int rate = encoderSampleRate(first.sample_rate, rates);

    // The decoder's own format when the encoder takes it: no conversion at all.
    AVSampleFormat format = encoder->sample_fmts ? encoder->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
    for (const AVSampleFormat* f = encoder->sample_fmts; f && *f != AV_SAMPLE_FMT_NONE; ++f)
        if (*f == first.format) format = *f;

    enc_.reset(avcodec_alloc_context3(encoder));
    if (!enc_) return fail("create", AVERROR(ENOMEM));
    enc_->sample_rate = rate;
    enc_->sample_fmt = format;
    av_channel_layout_default(&enc_->ch_layout, first.ch_layout.nb_channels == 1 ? 1 : 2);
    enc_->bit_rate = bitRate;
    enc_->time_base = AVRational{1, rate};

    const AVOutputFormat* ofmt = av_guess_format(muxer, nullptr, nullptr);
    AVFormatContext* raw = nullptr;
    if (int err = avformat_alloc_output_context2(&raw, ofmt, nullptr, nullptr); err < 0) return fail("create", err);
    out_.reset(raw);
    if (out_->oformat->flags & AVFMT_GLOBALHEADER) enc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    if (int err = avcodec_open2(enc_.get(), encoder, nullptr); err < 0) return failure("start the encoder for", dest_, err);

    AVStream* st = avformat_new_stream(out_.get(), nullptr);
    if (!st) return fail("create", AVERROR(ENOMEM));
    if (int err = avcodec_parameters_from_context(st->codecpar, enc_.get()); err < 0) return fail("create", err);
    st->time_base = enc_->time_base;

    if (int err = avio_open(&out_->pb, avUrl(dest_).constData(), AVIO_FLAG_WRITE); err < 0) return fail("create", err);
    DictFree opts;
    // Tags are the tagger's work; the Xing/LAME frame stays, players use it.
    av_dict_set(&opts.d, "id3v2_version", "0", 0);
    if (int err = avformat_write_header(out_.get(), &opts.d); err < 0) return fail("write", err);

    frameSize_ = enc_->frame_size > 0 ? enc_->frame_size : 4096;
    fifo_.reset(av_audio_fifo_alloc(enc_->sample_fmt, enc_->ch_layout.nb_channels, frameSize_ * 2));
    toEncode_->nb_samples = frameSize_;
    toEncode_->format = enc_->sample_fmt;
    toEncode_->sample_rate = enc_->sample_rate;
    int err = av_channel_layout_copy(&toEncode_->ch_layout, &enc_->ch_layout);
    if (err >= 0) err = av_frame_get_buffer(toEncode_.get(), 0);
    if (!fifo_ || err < 0) return fail("create", err < 0 ? err : AVERROR(ENOMEM));
    return {};
}

Result Encoding::configureConverter(const AVFrame& f) {
    if (converterReady_ && f.format == inFormat_ && f.sample_rate == inRate_ && !av_channel_layout_compare(&f.ch_layout, &inLayout_))
        return {};
    if (converterReady_)
        if (auto r = drainConverter(); !r) return r;  // the stream changed: keep what the old settings hold

    inFormat_ = f.format;
    inRate_ = f.sample_rate;
    av_channel_layout_uninit(&inLayout_);
    if (f.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) av_channel_layout_default(&inLayout_, f.ch_layout.nb_channels);
    else av_channel_layout_copy(&inLayout_, &f.ch_layout);
    converterReady_ = true;

    const bool same = f.format == enc_->sample_fmt && f.sample_rate == enc_->sample_rate &&
                      f.ch_layout.nb_channels == enc_->ch_layout.nb_channels && f.ch_layout.nb_channels <= 2;
    if (same) {
        swr_.reset();
        return {};
    }
    SwrContext* raw = nullptr;
    int err = swr_alloc_set_opts2(&raw, &enc_->ch_layout, enc_->sample_fmt, enc_->sample_rate, &inLayout_,
                                  AVSampleFormat(f.format), f.sample_rate, 0, nullptr);
    swr_.reset(raw);
    // A downmix must not clip, whatever the sample format.
    if (err >= 0 && inLayout_.nb_channels > 2) err = av_opt_set_double(swr_.get(), "rematrix_maxval", 1.0, 0);
    if (err >= 0) err = swr_init(swr_.get());
    if (err < 0) return failure("convert the audio of", source_, err);
    return {};
}

Result Encoding::handleFrame(const AVFrame& f) {
    if (f.nb_samples <= 0) return {};
    if (f.sample_rate <= 0 || f.ch_layout.nb_channels <= 0)
        return failure("decode", source_, QStringLiteral("no sample rate or channels"));
    if (!enc_)
        if (auto r = setUpOutput(f, encoder_, bitRate_, muxer_); !r) return r;
    if (auto r = configureConverter(f); !r) return r;
    samplesDecoded_ += f.nb_samples;

    if (!swr_) {
        if (av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(f.extended_data), f.nb_samples) < f.nb_samples)
            return failure("convert the audio of", source_, AVERROR(ENOMEM));
    } else {
        const int needed = swr_get_out_samples(swr_.get(), f.nb_samples);
        if (needed > convertedCapacity_) {
            const int planes = av_sample_fmt_is_planar(enc_->sample_fmt) ? enc_->ch_layout.nb_channels : 1;
            const int bytes = av_samples_get_buffer_size(nullptr, enc_->ch_layout.nb_channels, needed, enc_->sample_fmt, 0);
            if (bytes < 0) return failure("convert the audio of", source_, bytes);
            convertedBuffer_.resize(std::size_t(bytes));
            convertedPlanes_.assign(std::size_t(planes), nullptr);
            av_samples_fill_arrays(convertedPlanes_.data(), nullptr, convertedBuffer_.data(), enc_->ch_layout.nb_channels, needed,
                                   enc_->sample_fmt, 0);
            convertedCapacity_ = needed;
        }
        const int got = swr_convert(swr_.get(), convertedPlanes_.data(), convertedCapacity_,
                                    const_cast<const std::uint8_t**>(f.extended_data), f.nb_samples);
        if (got < 0) return failure("convert the audio of", source_, got);
        if (av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(convertedPlanes_.data()), got) < got)
            return failure("convert the audio of", source_, AVERROR(ENOMEM));
    }
    return encodeFromFifo(false);
}

Result Encoding::drainConverter() {
    if (!swr_ || convertedCapacity_ == 0) return {};
    for (;;) {
        const int got = swr_convert(swr_.get(), convertedPlanes_.data(), convertedCapacity_, nullptr, 0);
        if (got < 0) return failure("convert the audio of", source_, got);
        if (got == 0) return {};
        if (av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(convertedPlanes_.data()), got) < got)
            return failure("convert the audio of", source_, AVERROR(ENOMEM));
    }
}

Result Encoding::encodeFromFifo(bool final) {
    const int frameSize = frameSize_;
    for (;;) {
        const int available = av_audio_fifo_size(fifo_.get());
        if (available == 0 || (available < frameSize && !final)) return {};
        const int n = std::min(available, frameSize);
        toEncode_->nb_samples = frameSize;
        if (int err = av_frame_make_writable(toEncode_.get()); err < 0) return failure("encode", source_, err);
        toEncode_->nb_samples = n;  // only the last frame is short
        if (av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(toEncode_->data), n) < n)
            return failure("encode", source_, AVERROR_BUG);
        toEncode_->pts = samplesSent_;
        samplesSent_ += n;
        if (auto r = sendToEncoder(toEncode_.get()); !r) return r;
    }
}

Result Encoding::sendToEncoder(AVFrame* f) {
    if (int err = avcodec_send_frame(enc_.get(), f); err < 0) return failure("encode", source_, err);
    AVStream* st = out_->streams[0];
    for (;;) {
        int err = avcodec_receive_packet(enc_.get(), encodedPacket_.get());
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return {};
        if (err < 0) return failure("encode", source_, err);
        av_packet_rescale_ts(encodedPacket_.get(), enc_->time_base, st->time_base);
        encodedPacket_->stream_index = st->index;
        if (err = av_interleaved_write_frame(out_.get(), encodedPacket_.get()); err < 0) return failure("write", dest_, err);
    }
}

// Isolated damaged packets are skipped, as players do.
Result Encoding::decodeError(int err) {
    if (err == AVERROR_INVALIDDATA && ++consecutiveBad_ <= maxConsecutiveBadPackets) return {};
    return failure("decode", source_, err);
}

Result Encoding::receiveFrames() {
    for (;;) {
        int err = avcodec_receive_frame(dec_.get(), decoded_.get());
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return {};
        if (err < 0) {
            if (auto r = decodeError(err); !r) return r;
            continue;
        }
        consecutiveBad_ = 0;
        auto r = handleFrame(*decoded_);
        av_frame_unref(decoded_.get());
        if (!r) return r;
    }
}

Result Encoding::run(const AVCodec* encoder, std::int64_t bitRate, const char* muxer) {
    encoder_ = encoder;
    bitRate_ = bitRate;
    muxer_ = muxer;
    if (!decoded_ || !toEncode_ || !packet_ || !encodedPacket_) return failure("encode", source_, AVERROR(ENOMEM));
    if (auto r = openInput(); !r) return r;

    for (;;) {
        if (cancelled()) return failure(QStringLiteral("cancelled"));
        int err = av_read_frame(in_.get(), packet_.get());
        if (err == AVERROR_EOF) break;
        if (err < 0) return failure("read", source_, err);
        if (packet_->stream_index != streamIndex_) {
            av_packet_unref(packet_.get());
            continue;
        }
        err = avcodec_send_packet(dec_.get(), packet_.get());
        av_packet_unref(packet_.get());
        if (err < 0) {
            if (auto r = decodeError(err); !r) return r;
            continue;
        }
        if (auto r = receiveFrames(); !r) return r;
    }

    // The decoder, the resampler, the last short frame, the encoder: each may
    // still hold audio.
    if (int err = avcodec_send_packet(dec_.get(), nullptr); err < 0 && err != AVERROR_EOF) return failure("decode", source_, err);
    if (auto r = receiveFrames(); !r) return r;
    if (!enc_ || samplesDecoded_ == 0) return failure("decode", source_, QStringLiteral("no audio could be decoded"));
    if (auto r = drainConverter(); !r) return r;
    if (auto r = encodeFromFifo(true); !r) return r;
    if (auto r = sendToEncoder(nullptr); !r) return r;
    if (cancelled()) return failure(QStringLiteral("cancelled"));

    if (int err = av_write_trailer(out_.get()); err < 0) return failure("write", dest_, err);
    if (int err = avio_closep(&out_->pb); err < 0) return failure("write", dest_, err);
    return {};
}

}  // namespace

std::expected<void, QString> encodeAudio(const QString& sourcePath, const QString& destPath, const EncodeSettings& settings,
                                         const std::atomic<bool>* cancel) {
    const QString canonicalSource = QFileInfo(sourcePath).canonicalFilePath();
    if (!canonicalSource.isEmpty() && canonicalSource == QFileInfo(destPath).canonicalFilePath())
        return failure(u"cannot encode " + quoted(sourcePath) + u" onto itself");

    const AVCodec* encoder = nullptr;
    std::int64_t bitRate = 0;
    const char* muxer = nullptr;
    if (settings.format == OutputFormat::Mp3) {
        encoder = avcodec_find_encoder_by_name("libmp3lame");
        if (!encoder) return failure("encode", sourcePath, QStringLiteral("no MP3 encoder (libmp3lame) here"));
        auto kbps = mp3BitrateFromSettings(settings.mp3Settings);
        if (!kbps) return failure("encode", sourcePath, QStringLiteral("the MP3 settings hold no bit rate"));
        bitRate = std::int64_t(*kbps) * 1000;
        muxer = "mp3";
    } else {
        encoder = avcodec_find_encoder(AV_CODEC_ID_AAC);
        if (!encoder) return failure("encode", sourcePath, QStringLiteral("no AAC encoder here"));
        if (settings.aacBitrateKbps <= 0) return failure("encode", sourcePath, QStringLiteral("no AAC bit rate"));
        bitRate = std::int64_t(settings.aacBitrateKbps) * 1000;
        muxer = "ipod";  // .m4a
    }

    Result result;
    {
        Encoding encoding(sourcePath, destPath, cancel);
        result = encoding.run(encoder, bitRate, muxer);
    }  // closes the output before it may be removed
    if (!result) ::unlink(QFile::encodeName(destPath).constData());
    return result;
}
