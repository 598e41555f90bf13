#include "audio/AudioConverter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

using namespace murmurly;

namespace {

const AudioFormat kWorking = AudioFormat::working();

// Power of `frequency` in `samples` relative to the signal's total power (Goertzel filter);
// close to 1 when the signal is a pure tone of that frequency.
double toneShare(const std::vector<float>& samples, double rate, double frequency) {
    const double w = 2.0 * std::numbers::pi * frequency / rate;
    const double coeff = 2.0 * std::cos(w);
    double s1 = 0, s2 = 0, energy = 0;
    for (float x : samples) {
        const double s0 = x + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
        energy += double{x} * x;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    return energy > 0 ? 2.0 * power / (energy * static_cast<double>(samples.size())) : 0.0;
}

// Frequency estimated from the number of rising zero crossings.
double zeroCrossingFrequency(const std::vector<float>& samples, double rate) {
    int rising = 0;
    for (std::size_t i = 1; i < samples.size(); ++i)
        if (samples[i - 1] < 0.0f && samples[i] >= 0.0f)
            ++rising;
    return rising * rate / static_cast<double>(samples.size());
}

double rms(const std::vector<float>& samples, std::size_t from, std::size_t to) {
    double sum = 0;
    for (std::size_t i = from; i < to; ++i)
        sum += double{samples[i]} * samples[i];
    return std::sqrt(sum / static_cast<double>(to - from));
}

// Feeds `input` in blocks of `blockFrames` and collects all output, with an output buffer of
// `outputCapacity` frames, until the converter reports the end of the stream.
std::vector<float> convertAll(AudioConverter& converter, const PcmBuffer& input, std::uint32_t blockFrames,
                              std::uint32_t outputCapacity) {
    const AudioFormat& inFormat = input.format();
    std::uint32_t offset = 0;
    std::optional<PcmBuffer> block;
    AudioConverter::InputBlock pull = [&](AudioConverter::InputStatus& status) -> const PcmBuffer* {
        if (offset >= input.frameLength()) {
            status = AudioConverter::InputStatus::EndOfStream;
            return nullptr;
        }
        const std::uint32_t n = std::min(blockFrames, input.frameLength() - offset);
        block = PcmBuffer::create(inFormat, n);
        const std::size_t sampleBytes = inFormat.bytesPerSample();
        for (int b = 0; b < input.bufferCount(); ++b) {
            const std::size_t perFrame = sampleBytes * (inFormat.interleaved ? inFormat.channelCount : 1);
            std::memcpy(block->bufferData(b), input.bufferData(b) + offset * perFrame, n * perFrame);
        }
        block->setFrameLength(n);
        offset += n;
        status = AudioConverter::InputStatus::HaveData;
        return &*block;
    };

    std::vector<float> out;
    auto output = PcmBuffer::create(converter.outputFormat(), outputCapacity);
    for (int guard = 0; guard < 1000000; ++guard) {
        QString error;
        const auto status = converter.convert(*output, pull, &error);
        EXPECT_NE(status, AudioConverter::OutputStatus::Error) << error.toStdString();
        out.insert(out.end(), output->floatChannelData(0),
                   output->floatChannelData(0) + output->frameLength());
        if (status != AudioConverter::OutputStatus::HaveData)
            break;
    }
    return out;
}

PcmBuffer stereoTone(double rate, std::uint32_t frames, double frequency, float leftAmp, float rightAmp) {
    auto buffer = PcmBuffer::create({rate, 2, SampleType::Float32, false}, frames);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const auto v = static_cast<float>(std::sin(2.0 * std::numbers::pi * frequency * i / rate));
        buffer->floatChannelData(0)[i] = leftAmp * v;
        buffer->floatChannelData(1)[i] = rightAmp * v;
    }
    buffer->setFrameLength(frames);
    return *buffer;
}

} // namespace

TEST(AudioConverter, Stereo44kFloatBecomesWorkingMonoAveragingChannels) {
    // Only the left channel carries the tone, so averaging halves it; taking one channel would not.
    const PcmBuffer input = stereoTone(44100, 44100 * 2, 1000.0, 0.8f, 0.0f);
    auto converter = AudioConverter::create(input.format(), kWorking);
    ASSERT_TRUE(converter);
    const std::vector<float> out = convertAll(*converter, input, 4096, 4096);

    EXPECT_NEAR(static_cast<double>(out.size()), 32000.0, 32.0);
    EXPECT_NEAR(zeroCrossingFrequency(out, 16000), 1000.0, 2.0);
    EXPECT_GT(toneShare(out, 16000, 1000.0), 0.99);
    EXPECT_NEAR(rms(out, 1000, 31000), 0.4 / std::sqrt(2.0), 0.005);
}

TEST(AudioConverter, Mono48kInt16BecomesWorkingFloat) {
    const std::uint32_t frames = 48000 * 3 / 2;
    auto input = PcmBuffer::create({48000, 1, SampleType::Int16, true}, frames);
    for (std::uint32_t i = 0; i < frames; ++i)
        input->int16ChannelData(0)[i] = static_cast<std::int16_t>(
            std::lrint(16384.0 * std::sin(2.0 * std::numbers::pi * 440.0 * i / 48000.0)));
    input->setFrameLength(frames);
    auto converter = AudioConverter::create(input->format(), kWorking);
    ASSERT_TRUE(converter);
    const std::vector<float> out = convertAll(*converter, *input, 4096, 4096);

    EXPECT_NEAR(static_cast<double>(out.size()), 24000.0, 32.0);
    EXPECT_NEAR(zeroCrossingFrequency(out, 16000), 440.0, 2.0);
    EXPECT_GT(toneShare(out, 16000, 440.0), 0.99);
    EXPECT_NEAR(rms(out, 1000, 23000), 0.5 / std::sqrt(2.0), 0.005);
}

TEST(AudioConverter, SmallPiecesGiveTheSameAudioAsOneShot) {
    const PcmBuffer input = stereoTone(44100, 30000, 700.0, 0.5f, 0.3f);
    auto oneShot = AudioConverter::create(input.format(), kWorking);
    auto streamed = AudioConverter::create(input.format(), kWorking);
    ASSERT_TRUE(oneShot && streamed);

    const std::vector<float> whole = convertAll(*oneShot, input, 30000, 20000);
    const std::vector<float> pieces = convertAll(*streamed, input, 37, 29);
    ASSERT_EQ(pieces.size(), whole.size());
    for (std::size_t i = 0; i < whole.size(); ++i)
        ASSERT_NEAR(pieces[i], whole[i], 1e-5f) << "at frame " << i;

    // After a reset the same converter gives the same stream again.
    oneShot->reset();
    EXPECT_EQ(convertAll(*oneShot, input, 4096, 4096), whole);
}

TEST(AudioConverter, RunsDryWithoutLosingInputAndKeepsUntilTheEnd) {
    const PcmBuffer input = stereoTone(48000, 4800, 500.0, 0.5f, 0.5f);
    auto converter = AudioConverter::create(input.format(), kWorking);
    ASSERT_TRUE(converter);
    auto output = PcmBuffer::create(kWorking, 4096);

    std::size_t total = 0;
    int calls = 0;
    auto once = [&](AudioConverter::InputStatus& status) -> const PcmBuffer* {
        if (calls++ == 0) {
            status = AudioConverter::InputStatus::HaveData;
            return &input;
        }
        status = AudioConverter::InputStatus::NoDataNow;
        return nullptr;
    };
    EXPECT_EQ(converter->convert(*output, once), AudioConverter::OutputStatus::InputRanDry);
    total += output->frameLength();
    EXPECT_GT(total, 0u);

    auto end = [](AudioConverter::InputStatus& status) -> const PcmBuffer* {
        status = AudioConverter::InputStatus::EndOfStream;
        return nullptr;
    };
    EXPECT_EQ(converter->convert(*output, end), AudioConverter::OutputStatus::EndOfStream);
    total += output->frameLength();
    EXPECT_NEAR(static_cast<double>(total), 1600.0, 32.0);
}
