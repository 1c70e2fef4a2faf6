#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVCodecContext;
struct AVPacket;
struct AVFrame;
struct SwrContext;

// Reads one audio file with FFmpeg and hands out float stereo frames at the engine's rate,
// from any frame position. Worker threads only: decoding never runs on the audio thread.
class AudioDecoder {
public:
    // Opens the file's best audio stream; nullptr and a message in error when it can't.
    // Without measureLength, duration() is left at 0 where the headers don't state it, and the
    // open skips reading the whole file to count it (decoding alone has no use for it).
    static std::unique_ptr<AudioDecoder> open(const std::string& path, int outputRate,
                                              std::string* error, bool measureLength = true);
    ~AudioDecoder();
    AudioDecoder(const AudioDecoder&) = delete;
    AudioDecoder& operator=(const AudioDecoder&) = delete;

    // The file's length in seconds: from its headers where they state it, else counted from
    // its packets. The same on every open.
    double duration() const { return duration_; }
    int sourceRate() const { return sourceRate_; }
    int sourceChannels() const { return sourceChannels_; }

    // The output frame the next read() returns.
    int64_t position() const { return position_; }

    // Positions the decoder so that the next read() starts exactly at `frame`. Seeks to the
    // keyframe before it and decodes and discards up to the frame. False when the file can no
    // longer be read; the decoder is then unchanged (and still safe to destroy or seek again).
    bool seekTo(int64_t frame);
    // Why the last seekTo() failed.
    const std::string& lastError() const { return lastError_; }

    // Decodes up to maxFrames interleaved stereo frames into out. Returns the number written;
    // fewer than asked only at the end of the file, which sets *atEnd.
    int read(float* out, int maxFrames, bool* atEnd);
    // Whether the end read() met was a read error (a share gone, a disk failing) rather than
    // the end of the file.
    bool readFailed() const;

private:
    AudioDecoder() = default;
    // Keep: a reopen keeps the length found before. Headers: the length the headers state, 0
    // where they only guess. Measure: counted where they only guess.
    enum class Length { Keep, Headers, Measure };
    bool openFile(const std::string& path, int outputRate, std::string* error, Length length);
    // The sum of the stream's packet durations: the length where the headers only guess it.
    static double scanDuration(const std::string& path, int stream);
    static SwrContext* makeResampler(const AVCodecContext* codec, int outputRate);
    void takeResamplerFormat();
    bool setUpResampler();
    // Decodes the next frame of audio into pending_. False at the end of the file.
    bool decodeMore();
    void appendConverted(const uint8_t** data, int samples);

    struct FormatCloser {
        void operator()(AVFormatContext* c) const;
    };
    struct CodecCloser {
        void operator()(AVCodecContext* c) const;
    };
    struct PacketCloser {
        void operator()(AVPacket* p) const;
    };
    struct FrameCloser {
        void operator()(AVFrame* f) const;
    };
    struct SwrCloser {
        void operator()(SwrContext* s) const;
    };

    std::unique_ptr<AVFormatContext, FormatCloser> format_;
    std::unique_ptr<AVCodecContext, CodecCloser> codec_;
    std::unique_ptr<AVPacket, PacketCloser> packet_;
    std::unique_ptr<AVFrame, FrameCloser> frame_;
    std::unique_ptr<SwrContext, SwrCloser> swr_;

    std::string path_;
    std::string lastError_;
    int stream_ = -1;
    int outputRate_ = 0;
    int sourceRate_ = 0;
    int sourceChannels_ = 0;
    int outputChannels_ = 2;  // what swr produces: 1 for mono sources, duplicated on the way out
    // What the resampler was set up for; a decoded frame that differs is not converted.
    int swrFormat_ = -1;
    bool floatSamples_ = false;  // the codec hands out float samples, which may be NaN or huge
    int swrChannels_ = 0;
    double duration_ = 0.0;

    int64_t position_ = 0;  // output frame of the next read()
    // After a seek, the first decoded frame's timestamp tells where decoding resumed.
    bool syncToTimestamp_ = false;
    int64_t seekTargetSource_ = 0;
    bool decoderDrained_ = false;
    bool resamplerFlushed_ = false;
    bool endOfFile_ = false;

    // Converted interleaved stereo frames not yet read. A plain buffer rather than a vector:
    // the resampler writes straight into its tail, with no zero-filling and no second copy.
    std::unique_ptr<float[]> pending_;
    size_t pendingCapacity_ = 0;  // in frames
    size_t pendingFrames_ = 0;
    size_t pendingRead_ = 0;
    std::vector<float> monoBuffer_;
    float* reservePending(size_t frames);
    void clearPending() { pendingFrames_ = pendingRead_ = 0; }
    // Reading starts afresh at output `frame`, after an open or a seek; `syncToTimestamp` drops
    // decoded audio until the frames' own timestamps reach the seek target.
    void startReadingAt(int64_t frame, bool syncToTimestamp) {
        clearPending();
        decoderDrained_ = false;
        resamplerFlushed_ = false;
        endOfFile_ = false;
        syncToTimestamp_ = syncToTimestamp;
        position_ = frame;
    }
};
