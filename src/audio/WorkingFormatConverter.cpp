#include "audio/WorkingFormatConverter.h"

#include "audio/RecorderError.h"
#include "audio/RecorderLog.h"

#include <algorithm>
#include <cmath>

namespace murmurly {

std::vector<float> resampleTo16kMono(const PcmBuffer& input, CachedConverter& cache) {
    const AudioFormat& format = input.format();
    const AudioFormat working = AudioFormat::working();

    if (format == working) {
        if (const float* samples = input.floatChannelData(0))
            return std::vector<float>(samples, samples + input.frameLength());
    }

    const AudioFormatSignature signature = AudioFormatSignature::of(format);
    if (!cache.converter || cache.signature != signature) {
        cache.converter.reset();
        cache.signature.reset();
        std::unique_ptr<AudioConverter> converter = AudioConverter::create(format, working);
        if (!converter)
            throw RecorderError::failedToStart();
        cache.converter = std::move(converter);
        cache.signature = signature;
    }
    AudioConverter& converter = *cache.converter;
    converter.reset();

    const double capacity = std::ceil(working.sampleRate / format.sampleRate * input.frameLength()) + 32.0;
    std::optional<PcmBuffer> output =
        PcmBuffer::create(working, static_cast<std::uint32_t>(std::clamp(capacity, 1.0, 4294967295.0)));
    if (!output)
        return {};

    // One-shot: the whole buffer at the first request, end of stream after that, so the resampler
    // drains everything it holds into this output.
    bool handedOver = false;
    QString error;
    const AudioConverter::OutputStatus status = converter.convert(
        *output,
        [&](AudioConverter::InputStatus& inputStatus) -> const PcmBuffer* {
            if (handedOver) {
                inputStatus = AudioConverter::InputStatus::EndOfStream;
                return nullptr;
            }
            handedOver = true;
            inputStatus = AudioConverter::InputStatus::HaveData;
            return &input;
        },
        &error);
    if (status == AudioConverter::OutputStatus::Error) {
        if (error.isEmpty())
            throw RecorderError::failedToStart();
        throw SystemError(error);
    }

    const float* samples = output->floatChannelData(0);
    if (output->frameLength() == 0 || !samples) {
        qCCritical(lcSessionRecorder, "Resample produced 0 frames (input: %u frames at %fHz)",
                   input.frameLength(), format.sampleRate);
        return {};
    }
    return std::vector<float>(samples, samples + output->frameLength());
}

} // namespace murmurly
