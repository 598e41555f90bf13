#include "audio/WorkingFormatConverter.h"

#include "audio/RecorderError.h"
#include "audio/RecorderLog.h"

#include <algorithm>
#include <cmath>

namespace murmurly {

namespace {

// Runs `converter` over `input` until it wants more, appending what it makes to `out`; with no
// input, until it has given everything it holds.
void pump(AudioConverter& converter, const PcmBuffer* input, std::vector<float>& out) {
    const AudioFormat& working = converter.outputFormat();
    const double frames = input ? input->frameLength() : 0.0;
    // Room for this buffer's share plus what the filter may release besides; more comes in
    // further rounds of the loop.
    const double capacity =
        std::ceil(working.sampleRate / converter.inputFormat().sampleRate * frames) + 64.0;
    std::optional<PcmBuffer> output =
        PcmBuffer::create(working, static_cast<std::uint32_t>(std::clamp(capacity, 1.0, 4294967295.0)));
    if (!output)
        return;
    bool handedOver = false;
    for (;;) {
        QString error;
        const AudioConverter::OutputStatus status = converter.convert(
            *output,
            [&](AudioConverter::InputStatus& inputStatus) -> const PcmBuffer* {
                if (!input) {
                    inputStatus = AudioConverter::InputStatus::EndOfStream;
                    return nullptr;
                }
                if (handedOver) {
                    inputStatus = AudioConverter::InputStatus::NoDataNow;
                    return nullptr;
                }
                handedOver = true;
                inputStatus = AudioConverter::InputStatus::HaveData;
                return input;
            },
            &error);
        if (status == AudioConverter::OutputStatus::Error) {
            // The stream is broken; the next buffer starts a fresh one.
            converter.reset();
            if (error.isEmpty())
                throw RecorderError::failedToStart();
            throw SystemError(error);
        }
        if (const float* samples = output->floatChannelData(0))
            out.insert(out.end(), samples, samples + output->frameLength());
        if (status != AudioConverter::OutputStatus::HaveData)
            return;
    }
}

} // namespace

std::vector<float> flushConverter(CachedConverter& cache) {
    std::vector<float> samples;
    if (cache.converter) {
        std::unique_ptr<AudioConverter> converter = std::move(cache.converter);
        try {
            pump(*converter, nullptr, samples);
        } catch (const Error& error) {
            // Only the last few milliseconds of the stream are at stake.
            qCCritical(lcSessionRecorder, "Resample failed at the end of the stream: %s",
                       qUtf8Printable(error.description()));
        }
    }
    return samples;
}

std::vector<float> resampleTo16kMono(const PcmBuffer& input, CachedConverter& cache) {
    const AudioFormat& format = input.format();
    const AudioFormat working = AudioFormat::working();
    const AudioFormatSignature signature = AudioFormatSignature::of(format);

    // A format change ends the old stream: its last samples come before the new format's.
    std::vector<float> samples;
    if (cache.signature != signature) {
        samples = flushConverter(cache);
        cache.signature.reset();
    }

    if (format == working) {
        if (const float* data = input.floatChannelData(0)) {
            cache.signature = signature;
            samples.insert(samples.end(), data, data + input.frameLength());
            return samples;
        }
    }

    if (!cache.converter) {
        std::unique_ptr<AudioConverter> converter = AudioConverter::create(format, working);
        if (!converter)
            throw RecorderError::failedToStart();
        cache.converter = std::move(converter);
        cache.signature = signature;
    }
    // The resampler works in blocks of its own: a buffer may yield nothing, the next one more.
    pump(*cache.converter, &input, samples);
    return samples;
}

} // namespace murmurly
