// The arithmetic on captured blocks: conversion to the working format, and the level shown.
#include "audio/AudioConverter.h"
#include "audio/AudioLevelComputer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

using namespace murmurly;

namespace {

const AudioFormat kWorking = AudioFormat::working();
using Input = AudioConverter::InputStatus;
using Output = AudioConverter::OutputStatus;

// Frames [first, first + frames) of a stereo 500 Hz sine, as planar float or interleaved 16-bit
// samples: 0.75 of full scale on the left channel, -0.25 on the right.
PcmBuffer tone(const AudioFormat& format, std::uint32_t first, std::uint32_t frames) {
    auto buffer = PcmBuffer::create(format, frames);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const double v = std::sin(2.0 * std::numbers::pi * 500.0 * (first + i) / format.sampleRate);
        for (int c = 0; c < 2; ++c) {
            if (format.sampleType == SampleType::Float32)
                buffer->floatChannelData(c)[i] = float((c == 0 ? 0.75 : -0.25) * v);
            else
                buffer->int16ChannelData(0)[2 * i + c] =
                    std::int16_t(std::lrint((c == 0 ? 0.75 : -0.25) * v * 32767));
        }
    }
    buffer->setFrameLength(frames);
    return *buffer;
}

// Converts `frames` frames of the tone, handed over in blocks of `blockFrames`, into an output
// buffer of `outputCapacity` frames, until the converter reports the end of the stream. A `dry`
// source has nothing at every other call.
std::vector<float> convertAll(AudioConverter& converter, std::uint32_t frames, std::uint32_t blockFrames,
                              std::uint32_t outputCapacity, bool dry = false) {
    std::uint32_t offset = 0;
    bool dryNow = false;
    std::optional<PcmBuffer> block;
    const AudioConverter::InputBlock pull = [&](Input& status) -> const PcmBuffer* {
        const std::uint32_t n = std::min(blockFrames, frames - offset);
        dryNow = dry && !dryNow;
        status = dryNow ? Input::NoDataNow : (n ? Input::HaveData : Input::EndOfStream);
        if (status == Input::HaveData)
            block = tone(converter.inputFormat(), offset, n);
        offset += status == Input::HaveData ? n : 0;
        return status == Input::HaveData ? &*block : nullptr;
    };
    std::vector<float> out;
    auto output = PcmBuffer::create(kWorking, outputCapacity);
    for (auto status = Output::HaveData; status != Output::EndOfStream && status != Output::Error;) {
        QString error;
        status = converter.convert(*output, pull, &error);
        EXPECT_NE(status, Output::Error) << error.toStdString();
        out.insert(out.end(), output->floatChannelData(0),
                   output->floatChannelData(0) + output->frameLength());
    }
    return out;
}

} // namespace

// At the working rate the samples pass straight through: channels are averaged (not one taken),
// 16-bit samples are divided by 32768. Resampled, the stream is the same however it is cut into
// pieces, with moments without input between them, and after a reset; it ends with what the
// filter still held: 30000 frames at 44.1 kHz give 10884 at 16 kHz.
TEST(AudioConverter, AveragesChannelsScales16BitSamplesAndResamplesPiecesLikeOneBlock) {
    for (const AudioFormat& format : {AudioFormat{16000, 2, SampleType::Float32, false},
                                      AudioFormat{16000, 2, SampleType::Int16, true}}) {
        auto converter = AudioConverter::create(format, kWorking);
        ASSERT_TRUE(converter);
        const std::vector<float> out = convertAll(*converter, 3000, 1000, 777);
        ASSERT_EQ(out.size(), 3000u);
        const PcmBuffer in = tone(format, 0, 3000);
        const auto at = [&](std::uint32_t i, int c) {
            return format.sampleType == SampleType::Float32 ? in.floatChannelData(c)[i]
                                                            : in.int16ChannelData(0)[2 * i + c] / 32768.0f;
        };
        for (std::uint32_t i = 0; i < 3000; ++i)
            ASSERT_NEAR(out[i], (at(i, 0) + at(i, 1)) / 2, 1e-6f) << "frame " << i;
    }

    const AudioFormat format{44100, 2, SampleType::Float32, false};
    auto oneShot = AudioConverter::create(format, kWorking);
    auto streamed = AudioConverter::create(format, kWorking);
    ASSERT_TRUE(oneShot && streamed);
    const std::vector<float> whole = convertAll(*oneShot, 30000, 30000, 20000);
    EXPECT_NEAR(double(whole.size()), 10884.0, 4.0);
    const std::vector<float> pieces = convertAll(*streamed, 30000, 37, 29, true);
    ASSERT_EQ(pieces.size(), whole.size());
    for (std::size_t i = 0; i < whole.size(); ++i)
        ASSERT_NEAR(pieces[i], whole[i], 1e-5f) << "at frame " << i;
    oneShot->reset();
    EXPECT_EQ(convertAll(*oneShot, 30000, 4096, 4096), whole);
}

// The level is twice the RMS, clamped to 1.
TEST(AudioLevelComputer, IsTwiceTheRmsClampedToOneOverTheChannelsThatCount) {
    std::vector<float> samples(4096, 0.3f);
    EXPECT_NEAR(AudioLevelComputer::rmsLevelFromRawFloat(samples.data(), samples.size()), 0.6f, 1e-5f);
    EXPECT_EQ(AudioLevelComputer::rmsLevelFromRawFloat(samples.data(), 0), 0.0f);
    EXPECT_EQ(AudioLevelComputer::rmsLevel(PcmBuffer::fromMonoFloat(samples.data(), 0)), 0.0f);
    // 2 * sqrt((4095 * 0.09 + 1600) / 4096) = 1.39 is clamped. A value that is not a number gives 0
    // rather than poisoning the level bars; infinity is full scale.
    for (const auto& [odd, level] : {std::pair{40.0f, 1.0f},
                                     {std::numeric_limits<float>::quiet_NaN(), 0.0f},
                                     {std::numeric_limits<float>::infinity(), 1.0f}}) {
        samples[100] = odd;
        EXPECT_EQ(AudioLevelComputer::rmsLevelFromRawFloat(samples.data(), samples.size()), level) << odd;
    }

    // 16-bit samples count against 32767 and only on the first channel; float blocks count every
    // channel.
    for (const SampleType type : {SampleType::Int16, SampleType::Float32}) {
        for (const bool interleaved : {false, true}) {
            // The left channel at a quarter of full scale in the second half of the block, the right
            // one silent: a sum over too few interleaved samples would miss it.
            auto block = PcmBuffer::create({48000, 2, type, interleaved}, 512);
            for (std::size_t i = 256; i < 512; ++i) {
                if (type == SampleType::Int16)
                    block->int16ChannelData(0)[interleaved ? 2 * i : i] = 8192;
                else
                    block->floatChannelData(0)[interleaved ? 2 * i : i] = 0.25f;
            }
            block->setFrameLength(512);
            const float expected = type == SampleType::Int16 ? 2.0f * 8192 / 32767 / std::sqrt(2.0f) : 0.25f;
            EXPECT_NEAR(AudioLevelComputer::rmsLevel(*block), expected, 5e-6f) << interleaved;
        }
    }
}
