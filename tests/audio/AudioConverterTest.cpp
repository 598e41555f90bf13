#include "audio/AudioConverter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

using namespace murmurly;

namespace {

const AudioFormat kWorking = AudioFormat::working();

// Feeds `input` in blocks of `blockFrames` into an output buffer of `outputCapacity` frames and
// collects everything until the converter reports the end of the stream.
std::vector<float> convertAll(AudioConverter& converter, const PcmBuffer& input, std::uint32_t blockFrames,
                              std::uint32_t outputCapacity) {
    const AudioFormat& format = input.format();
    const std::size_t frameBytes = format.interleaved ? format.bytesPerFrame() : format.bytesPerSample();
    std::uint32_t offset = 0;
    std::optional<PcmBuffer> block;
    const AudioConverter::InputBlock pull = [&](AudioConverter::InputStatus& status) -> const PcmBuffer* {
        const std::uint32_t n = std::min(blockFrames, input.frameLength() - offset);
        status = n ? AudioConverter::InputStatus::HaveData : AudioConverter::InputStatus::EndOfStream;
        block = PcmBuffer::create(format, std::max(n, 1u));
        for (int b = 0; b < input.bufferCount(); ++b)
            std::memcpy(block->bufferData(b), input.bufferData(b) + offset * frameBytes, n * frameBytes);
        block->setFrameLength(n);
        offset += n;
        return n ? &*block : nullptr;
    };
    std::vector<float> out;
    auto output = PcmBuffer::create(converter.outputFormat(), outputCapacity);
    for (auto status = AudioConverter::OutputStatus::HaveData;
         status == AudioConverter::OutputStatus::HaveData;) {
        QString error;
        status = converter.convert(*output, pull, &error);
        EXPECT_NE(status, AudioConverter::OutputStatus::Error) << error.toStdString();
        const float* samples = output->floatChannelData(0);
        out.insert(out.end(), samples, samples + output->frameLength());
    }
    return out;
}

// A stereo sine of `frames` frames, its left channel at amplitude `left` and its right at `right`.
PcmBuffer stereoTone(const AudioFormat& format, std::uint32_t frames, float left, float right) {
    auto buffer = PcmBuffer::create(format, frames);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const double v = std::sin(2.0 * std::numbers::pi * 500.0 * i / format.sampleRate);
        for (std::uint32_t c = 0; c < 2; ++c) {
            const double value = (c == 0 ? left : right) * v;
            const std::size_t at = format.interleaved ? 2 * i + c : i;
            const int data = format.interleaved ? 0 : int(c);
            if (format.sampleType == SampleType::Float32)
                buffer->floatChannelData(data)[at] = float(value);
            else
                buffer->int16ChannelData(data)[at] = std::int16_t(std::lrint(value * 32768.0));
        }
    }
    buffer->setFrameLength(frames);
    return *buffer;
}

} // namespace

// At the working rate the samples pass through: channels are averaged (not one taken), 16-bit
// samples are divided by 32768.
TEST(AudioConverter, AveragesChannelsAndScales16BitSamplesBy32768) {
    for (const AudioFormat& format : {AudioFormat{16000, 2, SampleType::Float32, false},
                                      AudioFormat{16000, 2, SampleType::Int16, true}}) {
        const PcmBuffer input = stereoTone(format, 3000, 0.75f, -0.25f);
        auto converter = AudioConverter::create(format, kWorking);
        ASSERT_TRUE(converter);
        const std::vector<float> out = convertAll(*converter, input, 1000, 777);
        ASSERT_EQ(out.size(), 3000u);
        for (std::uint32_t i = 0; i < 3000; ++i) {
            const float expected =
                format.sampleType == SampleType::Float32
                    ? (input.floatChannelData(0)[i] + input.floatChannelData(1)[i]) / 2
                    : (input.int16ChannelData(0)[2 * i] + input.int16ChannelData(0)[2 * i + 1]) / 65536.0f;
            ASSERT_NEAR(out[i], expected, 1e-6f) << "frame " << i;
        }
    }
}

// Resampled, the stream is the same however it is cut into pieces, after a reset too, and ends
// with what the filter still held: 30000 frames at 44.1 kHz give 10884 at 16 kHz.
TEST(AudioConverter, ResamplesPiecesLikeOneBlockAndFlushesTheTail) {
    const PcmBuffer input = stereoTone({44100, 2, SampleType::Float32, false}, 30000, 0.5f, 0.3f);
    auto oneShot = AudioConverter::create(input.format(), kWorking);
    auto streamed = AudioConverter::create(input.format(), kWorking);
    ASSERT_TRUE(oneShot && streamed);

    const std::vector<float> whole = convertAll(*oneShot, input, 30000, 20000);
    EXPECT_NEAR(double(whole.size()), 10884.0, 4.0);
    const std::vector<float> pieces = convertAll(*streamed, input, 37, 29);
    ASSERT_EQ(pieces.size(), whole.size());
    for (std::size_t i = 0; i < whole.size(); ++i)
        ASSERT_NEAR(pieces[i], whole[i], 1e-5f) << "at frame " << i;
    oneShot->reset();
    EXPECT_EQ(convertAll(*oneShot, input, 4096, 4096), whole);
}

// A source with nothing at the moment gets back what is ready, and its input is not lost.
TEST(AudioConverter, RunsDryWithoutLosingInput) {
    const PcmBuffer input = stereoTone({48000, 2, SampleType::Float32, false}, 4800, 0.5f, 0.5f);
    auto converter = AudioConverter::create(input.format(), kWorking);
    ASSERT_TRUE(converter);
    auto output = PcmBuffer::create(kWorking, 4096);
    int calls = 0;
    const auto onceThenNothing = [&](AudioConverter::InputStatus& status) -> const PcmBuffer* {
        status = calls++ ? AudioConverter::InputStatus::NoDataNow : AudioConverter::InputStatus::HaveData;
        return calls == 1 ? &input : nullptr;
    };
    EXPECT_EQ(converter->convert(*output, onceThenNothing), AudioConverter::OutputStatus::InputRanDry);
    std::size_t total = output->frameLength();
    EXPECT_GT(total, 0u);
    const auto end = [](AudioConverter::InputStatus& status) -> const PcmBuffer* {
        status = AudioConverter::InputStatus::EndOfStream;
        return nullptr;
    };
    EXPECT_EQ(converter->convert(*output, end), AudioConverter::OutputStatus::EndOfStream);
    total += output->frameLength();
    EXPECT_NEAR(double(total), 1600.0, 4.0);
}
