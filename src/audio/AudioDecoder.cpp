#include "audio/AudioDecoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace {
// Forward distance (output frames) within which a seek decodes and discards instead of asking
// the demuxer: exact for every format, and cheaper than a seek for short hops.
constexpr int64_t kDecodeForwardLimit = 48000;
constexpr int64_t kPcmProbeBytes = 4096;
// A stream that fails to decode this many times in a row is treated as ended.
constexpr int kMaxConsecutiveErrors = 64;
// Above any real recording (768 kHz is the highest in use). A header claiming more (found by
// fuzzing: 805 MHz) makes the resampler build a filter of gigabytes for tens of seconds.
constexpr int kMaxSourceRate = 768000;
constexpr float kMaxSample = 64.0f;

void quietFfmpeg() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// The one file a decoder was asked for, and nothing it names: a playlist or concatenation
// format in a received show's audio folder must not pull in other files (anywhere the user can
// read) as audio.
int openOnlyTheFile(AVFormatContext* s, AVIOContext** pb, const char* url, int flags,
                    AVDictionary** options) {
    const auto* allowed = static_cast<const std::string*>(s->opaque);
    if (!allowed || *allowed != url) return AVERROR(EPERM);
    AVDictionary* local = nullptr;
    if (!options) options = &local;
    // Local files only: no network, no pipes, no other protocol FFmpeg knows.
    av_dict_set(options, "protocol_whitelist", "file", 0);
    const int ret = avio_open2(pb, url, flags, &s->interrupt_callback, options);
    av_dict_free(&local);
    return ret;
}

// avformat_open_input limited to the local file at `path` itself. `path` must outlive the
// context.
int openInput(AVFormatContext** out, const std::string& path) {
    AVFormatContext* fmt = avformat_alloc_context();
    if (!fmt) return AVERROR(ENOMEM);
    fmt->opaque = const_cast<std::string*>(&path);
    fmt->io_open = openOnlyTheFile;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    const int ret = avformat_open_input(&fmt, path.c_str(), nullptr, &options);
    av_dict_free(&options);
    // The check is only needed while the input opens; the path may go away afterwards.
    if (ret >= 0) fmt->opaque = nullptr;
    *out = fmt;
    return ret;
}

std::string errorText(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buf, sizeof buf);
    return buf;
}
}  // namespace

void AudioDecoder::FormatCloser::operator()(AVFormatContext* c) const {
    avformat_close_input(&c);
}
void AudioDecoder::CodecCloser::operator()(AVCodecContext* c) const {
    avcodec_free_context(&c);
}
void AudioDecoder::PacketCloser::operator()(AVPacket* p) const {
    av_packet_free(&p);
}
void AudioDecoder::FrameCloser::operator()(AVFrame* f) const {
    av_frame_free(&f);
}
void AudioDecoder::SwrCloser::operator()(SwrContext* s) const {
    swr_free(&s);
}

AudioDecoder::~AudioDecoder() = default;

std::unique_ptr<AudioDecoder> AudioDecoder::open(const std::string& path, int outputRate,
                                                 std::string* error, bool measureLength) {
    quietFfmpeg();
    std::unique_ptr<AudioDecoder> d(new AudioDecoder());
    if (!d->openFile(path, outputRate, error, measureLength ? Length::Measure : Length::Headers))
        return nullptr;
    return d;
}

bool AudioDecoder::openFile(const std::string& path, int outputRate, std::string* error,
                            Length length) {
    // Everything is built aside and taken over only once it all worked: a reopen that fails (the
    // file deleted or its share gone while the cue plays) leaves the decoder as it was.
    auto fail = [&](const std::string& why) {
        if (error) *error = path + ": " + why;
        return false;
    };
    AVFormatContext* rawFormat = nullptr;
    int ret = openInput(&rawFormat, path);
    if (ret < 0) return fail(errorText(ret));
    std::unique_ptr<AVFormatContext, FormatCloser> format(rawFormat);
    AVFormatContext* fmt = format.get();
    // A PCM WAV asks for its samples to be probed for compressed audio in disguise, which
    // re-probes a growing buffer up to the probe limit: 10 ms and more per file. A cue file's
    // PCM is PCM.
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVCodecID id = fmt->streams[i]->codecpar->codec_id;
        if (id >= AV_CODEC_ID_FIRST_AUDIO && id < AV_CODEC_ID_ADPCM_IMA_QT)
            fmt->probesize = kPcmProbeBytes;
    }
    ret = avformat_find_stream_info(fmt, nullptr);
    if (ret < 0) return fail(errorText(ret));

    const AVCodec* decoder = nullptr;
    const int stream = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (stream < 0 || !decoder) return fail("no decodable audio stream");
    // Cover art and other streams would only cost reads.
    for (unsigned i = 0; i < fmt->nb_streams; ++i)
        if (int(i) != stream) fmt->streams[i]->discard = AVDISCARD_ALL;
    AVStream* st = fmt->streams[stream];

    std::unique_ptr<AVCodecContext, CodecCloser> codec(avcodec_alloc_context3(decoder));
    if (!codec) return fail("out of memory");
    if ((ret = avcodec_parameters_to_context(codec.get(), st->codecpar)) < 0)
        return fail(errorText(ret));
    codec->pkt_timebase = st->time_base;
    codec->thread_count = 1;
    if ((ret = avcodec_open2(codec.get(), decoder, nullptr)) < 0) return fail(errorText(ret));

    const int rate = codec->sample_rate;
    const int channels = codec->ch_layout.nb_channels;
    if (rate <= 0 || channels <= 0) return fail("no sample rate or channels");
    if (rate > kMaxSourceRate) return fail("sample rate out of range");

    // A reopen (to seek back to the start) keeps the length found at the first open.
    double duration = duration_;
    if (length == Length::Keep) {
    } else if (fmt->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE) {
        // No length in the headers (ADTS, an MP3 without its Xing frame, raw AC-3): the
        // bitrate guess is off by seconds, so count the packets.
        duration = length == Length::Measure ? scanDuration(path, stream) : 0.0;
    } else if (st->duration != AV_NOPTS_VALUE && st->duration > 0) {
        // Multiply before dividing: frames / rate exactly for PCM and FLAC (time base 1/rate).
        duration = double(st->duration) * st->time_base.num / st->time_base.den;
    } else if (fmt->duration != AV_NOPTS_VALUE && fmt->duration > 0) {
        duration = double(fmt->duration) / AV_TIME_BASE;
    } else {
        duration = 0.0;
    }

    if (!packet_) packet_.reset(av_packet_alloc());
    if (!frame_) frame_.reset(av_frame_alloc());
    if (!packet_ || !frame_) return fail("out of memory");
    std::unique_ptr<SwrContext, SwrCloser> swr(makeResampler(codec.get(), outputRate));
    if (!swr) return fail("cannot convert the audio");

    format_ = std::move(format);
    codec_ = std::move(codec);
    swr_ = std::move(swr);
    path_ = path;
    outputRate_ = outputRate;
    stream_ = stream;
    sourceRate_ = rate;
    sourceChannels_ = channels;
    duration_ = duration;
    takeResamplerFormat();
    startReadingAt(0, false);
    return true;
}

double AudioDecoder::scanDuration(const std::string& path, int stream) {
    AVFormatContext* raw = nullptr;
    if (openInput(&raw, path) < 0) return 0.0;
    std::unique_ptr<AVFormatContext, FormatCloser> fmt(raw);
    if (avformat_find_stream_info(raw, nullptr) < 0 || stream >= int(raw->nb_streams)) return 0.0;
    for (unsigned i = 0; i < raw->nb_streams; ++i)
        if (int(i) != stream) raw->streams[i]->discard = AVDISCARD_ALL;
    std::unique_ptr<AVPacket, PacketCloser> packet(av_packet_alloc());
    if (!packet) return 0.0;
    int64_t total = 0;
    while (av_read_frame(raw, packet.get()) >= 0) {
        if (packet->stream_index == stream && packet->duration > 0) total += packet->duration;
        av_packet_unref(packet.get());
    }
    const AVRational tb = raw->streams[stream]->time_base;
    return double(total) * tb.num / tb.den;
}

SwrContext* AudioDecoder::makeResampler(const AVCodecContext* codec, int outputRate) {
    const int channels = codec->ch_layout.nb_channels;
    AVChannelLayout in{};
    if (codec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&in, channels);
    else if (av_channel_layout_copy(&in, &codec->ch_layout) < 0)
        return nullptr;
    // Mono is converted as mono and doubled on the way out: both sides at the file's level,
    // where a mono-to-stereo matrix would lower each by 3 dB.
    AVChannelLayout out{};
    av_channel_layout_default(&out, channels == 1 ? 1 : 2);
    SwrContext* s = nullptr;
    const int ret = swr_alloc_set_opts2(&s, &out, AV_SAMPLE_FMT_FLT, outputRate, &in,
                                        codec->sample_fmt, codec->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&in);
    av_channel_layout_uninit(&out);
    if (ret < 0 || !s) return nullptr;
    // Folded down to two, every output's coefficients are scaled to sum to one at most: a
    // 5.1 file at 0.9 on every channel would else reach 2.2 on each side and clip. The LFE is
    // left out (the resampler's default LFE level, 0).
    if (channels > 2) av_opt_set_double(s, "rematrix_maxval", 1.0, 0);
    if (swr_init(s) < 0) {
        swr_free(&s);
        return nullptr;
    }
    return s;
}

void AudioDecoder::takeResamplerFormat() {
    outputChannels_ = sourceChannels_ == 1 ? 1 : 2;
    swrFormat_ = codec_->sample_fmt;
    const AVSampleFormat packed = av_get_packed_sample_fmt(codec_->sample_fmt);
    floatSamples_ = packed == AV_SAMPLE_FMT_FLT || packed == AV_SAMPLE_FMT_DBL;
    swrChannels_ = sourceChannels_;
}

bool AudioDecoder::setUpResampler() {
    std::unique_ptr<SwrContext, SwrCloser> swr(makeResampler(codec_.get(), outputRate_));
    if (!swr) return false;
    swr_ = std::move(swr);
    takeResamplerFormat();
    return true;
}

float* AudioDecoder::reservePending(size_t frames) {
    if (pendingFrames_ + frames > pendingCapacity_) {
        const size_t capacity = std::max(pendingCapacity_ * 2, pendingFrames_ + frames);
        std::unique_ptr<float[]> grown(new float[capacity * 2]);
        if (pendingFrames_ > 0)
            std::memcpy(grown.get(), pending_.get(), pendingFrames_ * 2 * sizeof(float));
        pending_ = std::move(grown);
        pendingCapacity_ = capacity;
    }
    return pending_.get() + pendingFrames_ * 2;
}

void AudioDecoder::appendConverted(const uint8_t** data, int samples) {
    const int maxOut = swr_get_out_samples(swr_.get(), samples);
    if (maxOut <= 0) return;
    float* dst = reservePending(size_t(maxOut));
    int n = 0;
    if (outputChannels_ == 2) {
        auto* outPtr = reinterpret_cast<uint8_t*>(dst);
        n = swr_convert(swr_.get(), &outPtr, maxOut, data, samples);
    } else {
        monoBuffer_.resize(size_t(maxOut));
        auto* outPtr = reinterpret_cast<uint8_t*>(monoBuffer_.data());
        n = swr_convert(swr_.get(), &outPtr, maxOut, data, samples);
        for (int i = 0; i < n; ++i) dst[2 * i] = dst[2 * i + 1] = monoBuffer_[size_t(i)];
    }
    if (n <= 0) return;
    // A float file can carry NaN, infinity or values near the float limit (found by fuzzing
    // float WAVs): summed into the mix they give NaN or infinity, which silences every other cue
    // in the block. NaN plays as silence, the rest is held to 36 dB over full scale, a level no
    // real recording reaches. Integer samples can't do that, and skip the pass.
    if (floatSamples_) {
        for (size_t i = 0; i < size_t(n) * 2; ++i)
            dst[i] = std::isnan(dst[i]) ? 0.0f : std::clamp(dst[i], -kMaxSample, kMaxSample);
    }
    pendingFrames_ += size_t(n);
}

bool AudioDecoder::decodeMore() {
    if (decoderDrained_) {
        if (resamplerFlushed_) return false;
        resamplerFlushed_ = true;
        appendConverted(nullptr, 0);
        return true;
    }
    AVStream* st = format_->streams[stream_];
    int errors = 0;
    bool sentFlush = false;
    for (;;) {
        int ret = avcodec_receive_frame(codec_.get(), frame_.get());
        if (ret == 0) {
            AVFrame* f = frame_.get();
            // A stream can change its layout midway (found by fuzzing: an MPEG audio frame
            // that turned mono); the resampler would read channels the frame doesn't have.
            if (f->format != swrFormat_ || f->ch_layout.nb_channels != swrChannels_ ||
                f->sample_rate != sourceRate_) {
                av_frame_unref(f);
                if (++errors > kMaxConsecutiveErrors) {
                    decoderDrained_ = true;
                    return decodeMore();
                }
                continue;
            }
            int skip = 0;
            if (syncToTimestamp_) {
                const int64_t ts = f->best_effort_timestamp;
                if (ts != AV_NOPTS_VALUE) {
                    const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
                    const int64_t at = av_rescale_q(ts - start, st->time_base, {1, sourceRate_});
                    const int64_t ahead = seekTargetSource_ - at;
                    if (ahead >= f->nb_samples) {
                        av_frame_unref(f);
                        continue;  // still before the target: next frame
                    }
                    // Landing past the target can only happen with an inexact index: play on
                    // from there rather than insert silence.
                    if (ahead > 0) skip = int(ahead);
                }
                syncToTimestamp_ = false;
            }
            const auto fmt = AVSampleFormat(f->format);
            const int bps = av_get_bytes_per_sample(fmt);
            const uint8_t* in[AV_NUM_DATA_POINTERS] = {};
            if (av_sample_fmt_is_planar(fmt)) {
                const int ch = std::min(f->ch_layout.nb_channels, AV_NUM_DATA_POINTERS);
                for (int c = 0; c < ch; ++c) in[c] = f->extended_data[c] + size_t(skip) * bps;
            } else {
                in[0] = f->extended_data[0] + size_t(skip) * bps * f->ch_layout.nb_channels;
            }
            appendConverted(in, f->nb_samples - skip);
            av_frame_unref(f);
            return true;
        }
        if (ret == AVERROR_EOF) {
            decoderDrained_ = true;
            return decodeMore();
        }
        if (ret != AVERROR(EAGAIN)) {
            if (++errors > kMaxConsecutiveErrors) {
                decoderDrained_ = true;
                return decodeMore();
            }
            continue;
        }
        ret = av_read_frame(format_.get(), packet_.get());
        if (ret < 0) {
            if (sentFlush) {
                decoderDrained_ = true;
                return decodeMore();
            }
            sentFlush = true;
            avcodec_send_packet(codec_.get(), nullptr);
            continue;
        }
        if (packet_->stream_index == stream_) {
            ret = avcodec_send_packet(codec_.get(), packet_.get());
            if (ret < 0 && ret != AVERROR(EAGAIN) && ++errors > kMaxConsecutiveErrors) {
                av_packet_unref(packet_.get());
                decoderDrained_ = true;
                return decodeMore();
            }
        }
        av_packet_unref(packet_.get());
    }
}

int AudioDecoder::read(float* out, int maxFrames, bool* atEnd) {
    int written = 0;
    if (atEnd) *atEnd = false;
    while (written < maxFrames) {
        const size_t available = pendingFrames_ - pendingRead_;
        if (available == 0) {
            clearPending();
            if (endOfFile_ || !decodeMore()) {
                endOfFile_ = true;
                if (atEnd) *atEnd = true;
                break;
            }
            continue;
        }
        size_t n = std::min(available, size_t(maxFrames - written));
        if (out)
            std::memcpy(out + size_t(written) * 2, pending_.get() + pendingRead_ * 2,
                        n * 2 * sizeof(float));
        pendingRead_ += n;
        written += int(n);
    }
    position_ += written;
    return written;
}

bool AudioDecoder::readFailed() const {
    // The I/O layer keeps the error of a failed read apart from the end of the file.
    return format_ && format_->pb && format_->pb->error < 0;
}

bool AudioDecoder::seekTo(int64_t frame) {
    frame = std::max<int64_t>(frame, 0);
    if (frame == position_) return true;
    if (frame > position_ && frame - position_ <= kDecodeForwardLimit) {
        bool end = false;
        while (position_ < frame && !end) read(nullptr, int(frame - position_), &end);
        return true;
    }
    if (frame == 0) {
        // From the very start, a fresh open is the one path that every demuxer gets exactly
        // right (encoder delay and all).
        return openFile(path_, outputRate_, &lastError_, Length::Keep);
    }
    const int64_t targetSource = av_rescale(frame, sourceRate_, outputRate_);
    AVStream* st = format_->streams[stream_];
    const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
    // Aim a little early: formats without an index (MP3, ADTS) land near the aim rather than
    // on it, and the decoder then walks forward to the exact frame by the timestamps.
    const int64_t aim = std::max<int64_t>(targetSource - sourceRate_ / 5, 0);
    const int64_t ts = start + av_rescale_q(aim, {1, sourceRate_}, st->time_base);
    int ret = avformat_seek_file(format_.get(), stream_, INT64_MIN, ts, ts, 0);
    if (ret < 0) ret = av_seek_frame(format_.get(), stream_, ts, AVSEEK_FLAG_BACKWARD);
    if (ret < 0) {
        // Not seekable: decode from the start up to the frame.
        if (!openFile(path_, outputRate_, &lastError_, Length::Keep)) return false;
        bool end = false;
        while (position_ < frame && !end)
            read(nullptr, int(std::min<int64_t>(frame - position_, 1 << 20)), &end);
        return true;
    }
    avcodec_flush_buffers(codec_.get());
    if (!setUpResampler()) {
        lastError_ = path_ + ": cannot convert the audio";
        return false;
    }
    seekTargetSource_ = targetSource;
    startReadingAt(frame, true);
    return true;
}
