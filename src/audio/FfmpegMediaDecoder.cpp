// The FFmpeg engine behind MediaFileDecoder, built as the module libmurmurly-media.so (see
// MediaDecoderEngine.h for why it is a module).
#include "audio/MediaDecoderEngine.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <new>
#include <optional>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace murmurly {

namespace {

// Thrown inside the module only; the entry points turn it into a failure code.
struct Failure {
    MediaDecodeFailure reason;
};

[[noreturn]] void fail(MediaDecodeFailure reason) {
    throw Failure{reason};
}

// FFmpeg reports every oddity of a file on stderr; we report what matters ourselves.
void quietLibraryLog() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

double seconds(std::int64_t ticks, AVRational timeBase) {
    return double(ticks) * av_q2d(timeBase);
}

struct Decoder {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    SwrContext* resampler = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    int streamIndex = -1;
    AVRational timeBase{1, 1};
    std::int64_t startTime = 0;
    std::optional<double> duration;
    // The audio stream's own length as its header states it (not estimated from the bit rate).
    std::optional<double> statedStreamLength;
    double position = 0; // seconds of audio decoded, by the frames' time stamps
    std::int64_t fileSize = 0;

    // The input side of the resampler; a stream may change it midway (a new segment, a new rate).
    int inputRate = 0;
    int inputFormat = -1;
    AVChannelLayout inputLayout{};

    bool inputEnded = false; // the demuxer is done and the decoder has been told so
    bool finished = false;   // everything, the resampler's tail included, has been handed out

    ~Decoder() {
        swr_free(&resampler);
        av_channel_layout_uninit(&inputLayout);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
    }

    bool resamplerMatches(const AVFrame& input) const {
        return resampler != nullptr && input.sample_rate == inputRate && input.format == inputFormat &&
               av_channel_layout_compare(&input.ch_layout, &inputLayout) == 0;
    }

    void rebuildResampler(const AVFrame& input, std::vector<float>& block) {
        drainResampler(block);
        swr_free(&resampler);
        av_channel_layout_uninit(&inputLayout);
        if (av_channel_layout_copy(&inputLayout, &input.ch_layout) < 0)
            fail(MediaDecodeFailure::unsupported);
        inputRate = input.sample_rate;
        inputFormat = input.format;

        const int channels = input.ch_layout.nb_channels;
        if (channels < 1 || inputRate <= 0)
            fail(MediaDecodeFailure::unsupported);
        // A layout without named channels (a WAV without a channel mask) is taken as the default
        // layout of its channel count; only the count matters for averaging.
        AVChannelLayout in{};
        if (input.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
            av_channel_layout_default(&in, channels);
        else
            av_channel_layout_copy(&in, &input.ch_layout);
        AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        int rc = swr_alloc_set_opts2(&resampler, &mono, AV_SAMPLE_FMT_FLT, MediaDecoderEngine::outputRate,
                                     &in, AVSampleFormat(inputFormat), inputRate, 0, nullptr);
        av_channel_layout_uninit(&in);
        if (rc < 0)
            fail(MediaDecodeFailure::unsupported);
        // The plain average of all channels, rather than FFmpeg's downmix (which weighs the centre,
        // surround and LFE channels differently): the same reduction as the live sources.
        const std::vector<double> average(std::size_t(channels), 1.0 / channels);
        if (channels > 1 && swr_set_matrix(resampler, average.data(), channels) < 0)
            fail(MediaDecodeFailure::unsupported);
        if (swr_init(resampler) < 0)
            fail(MediaDecodeFailure::unsupported);
    }

    // Appends what the resampler still holds (its filter delay) to `block`.
    void drainResampler(std::vector<float>& block) {
        if (resampler == nullptr)
            return;
        for (;;) {
            const int room = std::max(swr_get_out_samples(resampler, 0), 256);
            const std::size_t used = block.size();
            block.resize(used + std::size_t(room));
            auto* out = reinterpret_cast<uint8_t*>(block.data() + used);
            const int got = swr_convert(resampler, &out, room, nullptr, 0);
            block.resize(used + std::size_t(std::max(got, 0)));
            if (got <= 0)
                return;
        }
    }

    void convert(const AVFrame& input, std::vector<float>& block) {
        if (!resamplerMatches(input))
            rebuildResampler(input, block);
        const int room = swr_get_out_samples(resampler, input.nb_samples);
        const std::size_t used = block.size();
        block.resize(used + std::size_t(std::max(room, 0)));
        auto* out = reinterpret_cast<uint8_t*>(block.data() + used);
        const int got = swr_convert(resampler, &out, room, const_cast<const uint8_t**>(input.extended_data),
                                    input.nb_samples);
        if (got < 0)
            fail(MediaDecodeFailure::damaged);
        block.resize(used + std::size_t(got));

        const std::int64_t stamp = input.best_effort_timestamp;
        const double length = double(input.nb_samples) / input.sample_rate;
        position =
            stamp == AV_NOPTS_VALUE ? position + length : seconds(stamp - startTime, timeBase) + length;
    }
};

std::unique_ptr<Decoder> open(const char* path, std::int64_t fileSize) {
    using Reason = MediaDecodeFailure;
    quietLibraryLog();

    auto d = std::make_unique<Decoder>();
    d->fileSize = fileSize;
    const int opened = avformat_open_input(&d->format, path, nullptr, nullptr);
    if (opened == AVERROR(EACCES) || opened == AVERROR(ENOENT))
        fail(Reason::unreadable);
    if (opened < 0 || avformat_find_stream_info(d->format, nullptr) < 0)
        fail(Reason::notMedia);

    for (unsigned i = 0; i < d->format->nb_streams; ++i) {
        AVStream* stream = d->format->streams[i];
        if (d->streamIndex < 0 && stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            d->streamIndex = int(i);
        else
            stream->discard = AVDISCARD_ALL; // video and the rest are not even handed to us
    }
    if (d->streamIndex < 0)
        fail(Reason::noAudio);
    AVStream* stream = d->format->streams[d->streamIndex];

    const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
    if (decoder == nullptr)
        fail(Reason::unsupported);
    d->codec = avcodec_alloc_context3(decoder);
    d->packet = av_packet_alloc();
    d->frame = av_frame_alloc();
    if (d->codec == nullptr || d->packet == nullptr || d->frame == nullptr)
        throw std::bad_alloc();
    if (avcodec_parameters_to_context(d->codec, stream->codecpar) < 0 ||
        avcodec_open2(d->codec, decoder, nullptr) < 0)
        fail(Reason::unsupported);

    d->timeBase = stream->time_base;
    d->startTime = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
        d->duration = seconds(stream->duration, stream->time_base);
        if (d->format->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE)
            d->statedStreamLength = d->duration;
    } else if (d->format->duration > 0)
        d->duration = double(d->format->duration) / AV_TIME_BASE;
    return d;
}

class FfmpegMediaDecoder final : public MediaDecoderEngine {
public:
    explicit FfmpegMediaDecoder(std::unique_ptr<Decoder> decoder)
        : d(std::move(decoder)) {}

    bool read(std::vector<float>& block, std::optional<MediaDecodeFailure>& failure) override {
        try {
            return readBlock(block);
        } catch (const Failure& error) {
            block.clear();
            failure = error.reason;
            return false;
        }
    }

    double progress() const override {
        if (d->finished)
            return 1.0;
        double fraction = 0;
        if (d->duration)
            fraction = d->position / *d->duration;
        else if (d->fileSize > 0 && d->format->pb != nullptr)
            fraction = double(avio_tell(d->format->pb)) / double(d->fileSize);
        return std::clamp(fraction, 0.0, 1.0);
    }

private:
    bool readBlock(std::vector<float>& block) {
        using Reason = MediaDecodeFailure;
        block.clear();
        while (block.empty() && !d->finished) {
            const int received = avcodec_receive_frame(d->codec, d->frame);
            if (received == 0) {
                d->convert(*d->frame, block);
                av_frame_unref(d->frame);
                continue;
            }
            // A decoder that asks for input after it was told the input has ended has nothing more.
            if (received == AVERROR_EOF || (received == AVERROR(EAGAIN) && d->inputEnded)) {
                d->drainResampler(block);
                d->finished = true;
                // A file cut short at a packet boundary ends cleanly; only its header knows better.
                // The margin allows for headers that round or count the encoder's padding.
                const double decoded = double(m_samplesRead + std::int64_t(block.size())) / outputRate;
                if (d->statedStreamLength &&
                    decoded < *d->statedStreamLength - std::max(1.0, 0.05 * *d->statedStreamLength))
                    fail(Reason::damaged);
                continue;
            }
            // A frame the decoder could not make sense of is skipped, as players do; the rest of
            // the stream is usually fine.
            if (received != AVERROR(EAGAIN) && received != AVERROR_INVALIDDATA)
                fail(Reason::damaged);
            if (received == AVERROR_INVALIDDATA)
                continue;

            const int demuxed = av_read_frame(d->format, d->packet);
            if (demuxed == AVERROR_EOF) {
                avcodec_send_packet(d->codec, nullptr); // drain the decoder
                d->inputEnded = true;
                continue;
            }
            // Anything else (the "partial file" of a cut-off MP4, a read error) means the file
            // breaks off here: a transcript of part of it would pass for the whole.
            if (demuxed < 0)
                fail(Reason::damaged);
            if (d->packet->stream_index == d->streamIndex) {
                // The demuxer marks the packet that the end of the file cut in two.
                if ((d->packet->flags & AV_PKT_FLAG_CORRUPT) != 0)
                    fail(Reason::damaged);
                const int sent = avcodec_send_packet(d->codec, d->packet);
                if (sent < 0 && sent != AVERROR_INVALIDDATA && sent != AVERROR(EAGAIN))
                    fail(Reason::damaged);
            }
            av_packet_unref(d->packet);
        }
        m_samplesRead += std::int64_t(block.size());
        if (block.empty() && m_samplesRead == 0)
            fail(Reason::noAudio);
        return !block.empty();
    }

    std::unique_ptr<Decoder> d;
    std::int64_t m_samplesRead = 0;
};

} // namespace

} // namespace murmurly

extern "C" __attribute__((visibility("default"))) murmurly::MediaDecoderEngine*
murmurly_open_media_decoder(const char* path, std::int64_t fileSize, murmurly::MediaDecodeFailure* failure) {
    try {
        return new murmurly::FfmpegMediaDecoder(murmurly::open(path, fileSize));
    } catch (const murmurly::Failure& error) {
        *failure = error.reason;
        return nullptr;
    }
}
