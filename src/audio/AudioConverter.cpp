#include "audio/AudioConverter.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>

namespace murmurly {

namespace {

// 16-bit samples map to floats by 1/32768 (and back by 32768, clipped), so that a round trip
// through float returns every 16-bit value unchanged.
constexpr float kInt16Scale = 32768.0f;

// Brings a block to `outChannels` channels as interleaved floats in `out`: channels averaged down
// to mono, otherwise the first channels taken (a mono block repeated). Channel by channel, so that
// the inner loops run over contiguous memory for planar blocks.
template <typename Sample>
void gather(const PcmBuffer& block, const Sample* (*channelData)(const PcmBuffer&, int), float scale,
            std::uint32_t outChannels, std::vector<float>& out) {
    const AudioFormat& f = block.format();
    const std::size_t frames = block.frameLength();
    const std::uint32_t inChannels = f.channelCount;
    const std::size_t stride = f.interleaved ? inChannels : 1;
    const auto channel = [&](std::uint32_t c) {
        return f.interleaved ? channelData(block, 0) + c : channelData(block, static_cast<int>(c));
    };
    out.resize(frames * outChannels);
    if (outChannels == 1 && inChannels > 1) {
        const float k = scale / static_cast<float>(inChannels);
        const Sample* first = channel(0);
        for (std::size_t i = 0; i < frames; ++i)
            out[i] = static_cast<float>(first[i * stride]) * k;
        for (std::uint32_t c = 1; c < inChannels; ++c) {
            const Sample* in = channel(c);
            for (std::size_t i = 0; i < frames; ++i)
                out[i] += static_cast<float>(in[i * stride]) * k;
        }
        return;
    }
    for (std::uint32_t c = 0; c < outChannels; ++c) {
        const Sample* in = channel(std::min(c, inChannels - 1));
        for (std::size_t i = 0; i < frames; ++i)
            out[i * outChannels + c] = static_cast<float>(in[i * stride]) * scale;
    }
}

const float* floatData(const PcmBuffer& b, int index) {
    return b.floatChannelData(index);
}

const std::int16_t* int16Data(const PcmBuffer& b, int index) {
    return b.int16ChannelData(index);
}

std::int16_t toInt16(float value) {
    const float scaled = std::nearbyint(value * kInt16Scale);
    if (!(scaled > -32768.0f)) // also maps NaN to the lower bound instead of undefined behaviour
        return scaled == scaled ? -32768 : 0;
    if (scaled > 32767.0f)
        return 32767;
    return static_cast<std::int16_t>(scaled);
}

} // namespace

struct AudioConverter::State {
    soxr_t resampler = nullptr;    // null when the rates are equal: samples pass straight through
    std::vector<float> pending;    // converted input (interleaved, output channel count) not yet consumed
    std::size_t pendingOffset = 0; // in frames
    std::vector<float> produced;   // interleaved output of the current call, before the final layout
    bool inputEnded = false;
    bool drained = false;

    ~State() {
        if (resampler)
            soxr_delete(resampler);
    }
};

AudioConverter::AudioConverter(const AudioFormat& input, const AudioFormat& output)
    : m_input(input)
    , m_output(output)
    , m_state(std::make_unique<State>()) {}

AudioConverter::~AudioConverter() = default;

std::unique_ptr<AudioConverter> AudioConverter::create(const AudioFormat& input, const AudioFormat& output) {
    if (!input.isValid() || !output.isValid() || !std::isfinite(input.sampleRate) ||
        !std::isfinite(output.sampleRate))
        return nullptr;
    std::unique_ptr<AudioConverter> converter(new AudioConverter(input, output));
    if (input.sampleRate != output.sampleRate) {
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        soxr_error_t error = nullptr;
        converter->m_state->resampler = soxr_create(input.sampleRate, output.sampleRate, output.channelCount,
                                                    &error, &io, &quality, nullptr);
        if (error || !converter->m_state->resampler)
            return nullptr;
    }
    return converter;
}

void AudioConverter::reset() {
    State& s = *m_state;
    if (s.resampler)
        soxr_clear(s.resampler);
    s.pending.clear();
    s.pendingOffset = 0;
    s.inputEnded = false;
    s.drained = false;
}

AudioConverter::OutputStatus AudioConverter::convert(PcmBuffer& output, const InputBlock& input,
                                                     QString* error) {
    State& s = *m_state;
    const auto fail = [&](const QString& message) {
        output.setFrameLength(0);
        if (error)
            *error = message;
        return OutputStatus::Error;
    };
    if (output.format() != m_output)
        return fail(QStringLiteral("The output buffer is not in the converter's output format"));
    const std::uint32_t capacity = output.frameCapacity();
    if (capacity == 0)
        return fail(QStringLiteral("The output buffer has no room"));

    const std::uint32_t channels = m_output.channelCount;
    s.produced.resize(std::size_t{capacity} * channels);
    std::size_t produced = 0;

    // Moves the frames gathered in `s.produced` into `output`, in its sample type and layout.
    const auto finish = [&](OutputStatus status) {
        for (std::uint32_t c = 0; c < channels; ++c) {
            const int block = m_output.interleaved ? 0 : static_cast<int>(c);
            const std::size_t stride = m_output.interleaved ? channels : 1;
            const std::size_t first = m_output.interleaved ? c : 0;
            if (m_output.sampleType == SampleType::Float32) {
                float* out = output.floatChannelData(block);
                for (std::size_t i = 0; i < produced; ++i)
                    out[first + i * stride] = s.produced[i * channels + c];
            } else {
                std::int16_t* out = output.int16ChannelData(block);
                for (std::size_t i = 0; i < produced; ++i)
                    out[first + i * stride] = toInt16(s.produced[i * channels + c]);
            }
        }
        output.setFrameLength(static_cast<std::uint32_t>(produced));
        return status;
    };

    while (true) {
        if (produced == capacity)
            return finish(OutputStatus::HaveData);
        if (s.drained)
            return finish(OutputStatus::EndOfStream);

        float* out = s.produced.data() + produced * channels;
        const std::size_t room = capacity - produced;
        const std::size_t pendingFrames = s.pending.size() / channels - s.pendingOffset;

        if (pendingFrames > 0) {
            const float* in = s.pending.data() + s.pendingOffset * channels;
            std::size_t used = 0;
            std::size_t made = 0;
            if (s.resampler) {
                if (soxr_error_t e = soxr_process(s.resampler, in, pendingFrames, &used, out, room, &made))
                    return fail(QStringLiteral("Resampling failed: %1").arg(QString::fromUtf8(e)));
            } else {
                used = made = std::min(pendingFrames, room);
                std::copy_n(in, made * channels, out);
            }
            s.pendingOffset += used;
            produced += made;
            if (s.pendingOffset * channels >= s.pending.size()) {
                s.pending.clear();
                s.pendingOffset = 0;
            }
            continue;
        }

        if (s.inputEnded) {
            std::size_t made = 0;
            if (s.resampler) {
                // A null input asks the resampler to flush what its filter still holds.
                if (soxr_error_t e = soxr_process(s.resampler, nullptr, 0, nullptr, out, room, &made))
                    return fail(QStringLiteral("Resampling failed: %1").arg(QString::fromUtf8(e)));
            }
            produced += made;
            if (made == 0)
                s.drained = true;
            continue;
        }

        if (s.resampler) {
            // Output the resampler can already give (from input it took earlier) comes before asking
            // for more, so that a caller who runs dry still receives everything that is ready.
            const float none = 0.0f;
            std::size_t used = 0;
            std::size_t made = 0;
            if (soxr_error_t e = soxr_process(s.resampler, &none, 0, &used, out, room, &made))
                return fail(QStringLiteral("Resampling failed: %1").arg(QString::fromUtf8(e)));
            if (made > 0) {
                produced += made;
                continue;
            }
        }

        InputStatus status = InputStatus::HaveData;
        const PcmBuffer* buffer = input ? input(status) : nullptr;
        if (!input)
            status = InputStatus::EndOfStream;
        if (status == InputStatus::NoDataNow)
            return finish(OutputStatus::InputRanDry);
        if (status == InputStatus::EndOfStream) {
            s.inputEnded = true;
            continue;
        }
        if (!buffer)
            return fail(QStringLiteral("The input block reported data but gave no buffer"));
        if (buffer->format() != m_input)
            return fail(QStringLiteral("The input buffer is not in the converter's input format"));

        s.pendingOffset = 0;
        if (m_input.sampleType == SampleType::Float32)
            gather(*buffer, floatData, 1.0f, channels, s.pending);
        else
            gather(*buffer, int16Data, 1.0f / kInt16Scale, channels, s.pending);
    }
}

} // namespace murmurly
