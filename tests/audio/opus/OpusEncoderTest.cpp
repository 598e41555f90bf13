#include "audio/OpusEncoder.h"
#include "audio/AudioFileReader.h"
#include "audio/AudioFileWriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <optional>

namespace murmurly {
namespace {

// Writes `seconds` of a 440 Hz tone in float WAV with the given rate and channel count.
QString writeTone(const QString& path, double rate, std::uint32_t channels, double seconds) {
    const AudioFormat format{rate, channels, SampleType::Float32, false};
    auto writer = AudioFileWriter::create(path, format);
    const auto frames = static_cast<std::uint32_t>(rate * seconds);
    auto buffer = PcmBuffer::create(format, frames);
    for (std::uint32_t c = 0; c < channels; ++c) {
        float* data = buffer->floatChannelData(static_cast<int>(c));
        for (std::uint32_t i = 0; i < frames; ++i)
            data[i] = 0.3f * static_cast<float>(std::sin(2.0 * std::numbers::pi * 440.0 * i / rate));
    }
    buffer->setFrameLength(frames);
    writer->write(*buffer);
    writer->close();
    return path;
}

class OpusEncoderTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path(const char* name) const { return dir.filePath(QString::fromUtf8(name)); }
};

// Mono stays mono; stereo and anything wider become stereo. The decoded length must match the
// input's: a resampler that drops its tail or pads the start shows up here, and 61 s crosses
// hundreds of the 4096-frame block boundaries.
TEST_F(OpusEncoderTest, EncodesAt48kWithTheInputDurationInMonoOrStereo) {
    const struct {
        double rate;
        std::uint32_t inputChannels;
        int expectedChannels;
        double seconds;
    } cases[] = {{16000, 1, 1, 2.5}, {44100, 2, 2, 2.5}, {16000, 4, 2, 2.5}, {16000, 1, 1, 61.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.inputChannels << " channels");
        const QString name = dir.filePath(QString::number(&c - cases));
        const QString input = writeTone(name + ".wav", c.rate, c.inputChannels, c.seconds);
        EXPECT_EQ(OpusEncoder::encodeToOpus(input, name + ".opus"), name + ".opus");
        // Read back as a player would: the stream's channels at 48 kHz, the encoder's delay skipped.
        const auto decoded = AudioFileReader::open(name + ".opus");
        EXPECT_EQ(decoded->processingFormat().channelCount, c.expectedChannels);
        EXPECT_EQ(decoded->processingFormat().sampleRate, 48000.0);
        EXPECT_NEAR(double(decoded->length()) / 48000.0, c.seconds, 0.020);
    }
}

TEST_F(OpusEncoderTest, FailuresSayWhatWentWrongAndTheDefaultOutputIsFresh) {
    const auto failure = [](const QString& input, const QString& output) -> std::optional<OpusError> {
        try {
            OpusEncoder::encodeToOpus(input, output);
        } catch (const OpusError& error) {
            return error;
        }
        return std::nullopt;
    };
    // A header without samples: nothing is left behind.
    AudioFileWriter::create(path("empty.wav"), AudioFormat::working())->close();
    auto error = failure(path("empty.wav"), path("empty.opus"));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), OpusError::Kind::conversionFailed);
    EXPECT_EQ(error->description(), QStringLiteral("Audio file has no readable samples."));
    EXPECT_FALSE(QFile::exists(path("empty.opus")));

    // libopusenc reports a file it cannot create as OPE_CANNOT_OPEN.
    error = failure(writeTone(path("in.wav"), 16000, 1, 0.5), path("no/such/folder/out.opus"));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), OpusError::Kind::failedToCreateEncoder);
    EXPECT_EQ(error->description(), QStringLiteral("Failed to create Opus encoder: cannot open file"));

    // An unreadable input: the reader's error is passed on.
    QFile garbage(path("garbage.wav"));
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write("this is not audio at all");
    garbage.close();
    EXPECT_THROW(OpusEncoder::encodeToOpus(path("garbage.wav"), path("g.opus")), SystemError);

    // Without an output path: a fresh Opus file in the temporary folder each time.
    const QString first = OpusEncoder::encodeToOpus(path("in.wav"));
    const QString second = OpusEncoder::encodeToOpus(path("in.wav"));
    EXPECT_NE(first, second);
    for (const QString& output : {first, second}) {
        const QFileInfo info(output);
        EXPECT_EQ(info.absolutePath(), QFileInfo(QDir::tempPath()).absoluteFilePath());
        EXPECT_TRUE(output.endsWith(QStringLiteral(".opus")));
        EXPECT_GT(info.size(), 0);
        QFile::remove(output);
    }
}

} // namespace
} // namespace murmurly
