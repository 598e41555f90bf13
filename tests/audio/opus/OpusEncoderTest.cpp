#include "audio/OpusEncoder.h"
#include "audio/AudioFileReader.h"
#include "audio/AudioFileWriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace murmurly {
namespace {

// Writes `seconds` of a 440 Hz tone in float WAV with the given rate and channel count.
QString writeTone(const QString& path, double rate, std::uint32_t channels, double seconds) {
    auto writer = AudioFileWriter::create(path, AudioFormat{rate, channels, SampleType::Float32, false});
    const auto frames = static_cast<std::uint32_t>(rate * seconds);
    auto buffer = PcmBuffer::create(AudioFormat{rate, channels, SampleType::Float32, false}, frames);
    for (std::uint32_t c = 0; c < channels; ++c) {
        float* data = buffer->floatChannelData(static_cast<int>(c));
        for (std::uint32_t i = 0; i < frames; ++i) {
            data[i] = 0.3f * static_cast<float>(std::sin(2.0 * std::numbers::pi * 440.0 * i / rate));
        }
    }
    buffer->setFrameLength(frames);
    writer->write(*buffer);
    writer->close();
    return path;
}

struct OggOpusInfo {
    int channels = 0;
    double decodedSeconds = 0;
    double decodedRate = 0;
};

// Reads the channel count from the OpusHead packet and decodes the file with opusdec, the
// reference decoder, to measure what a player would actually play.
OggOpusInfo inspect(const QString& opusPath, const QString& scratchDir) {
    OggOpusInfo info;
    QFile file(opusPath);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray head = file.read(4096);
    const qsizetype at = head.indexOf("OpusHead");
    EXPECT_GE(at, 0) << "not an Ogg/Opus file";
    if (at >= 0) {
        info.channels = static_cast<unsigned char>(head.at(at + 9));
    }
    const QString decoded = QDir(scratchDir).filePath(QStringLiteral("decoded.wav"));
    QProcess opusdec;
    opusdec.start(QStringLiteral("opusdec"), {QStringLiteral("--quiet"), opusPath, decoded});
    EXPECT_TRUE(opusdec.waitForFinished(60000));
    EXPECT_EQ(opusdec.exitCode(), 0) << opusdec.readAllStandardError().toStdString();
    const auto reader = AudioFileReader::open(decoded);
    info.decodedRate = reader->processingFormat().sampleRate;
    info.decodedSeconds = static_cast<double>(reader->length()) / info.decodedRate;
    return info;
}

class OpusEncoderTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path(const char* name) const { return dir.filePath(QString::fromUtf8(name)); }
};

struct ChannelCase {
    double rate;
    std::uint32_t inputChannels;
    int expectedChannels;
};

class OpusChannelTest : public OpusEncoderTest, public ::testing::WithParamInterface<ChannelCase> {};

// Mono stays mono; stereo and anything wider become stereo. The decoded length must match the
// input's: a resampler that drops its tail or pads the start shows up here.
TEST_P(OpusChannelTest, EncodesAt48kWithTheInputDuration) {
    const ChannelCase c = GetParam();
    const double seconds = 2.5;
    const QString input = writeTone(path("in.wav"), c.rate, c.inputChannels, seconds);
    const QString output = path("out.opus");

    EXPECT_EQ(OpusEncoder::encodeToOpus(input, output), output);

    const OggOpusInfo info = inspect(output, dir.path());
    EXPECT_EQ(info.channels, c.expectedChannels);
    EXPECT_EQ(info.decodedRate, 48000.0);
    EXPECT_NEAR(info.decodedSeconds, seconds, 0.020);
}

INSTANTIATE_TEST_SUITE_P(Layouts, OpusChannelTest,
                         ::testing::Values(ChannelCase{16000, 1, 1}, ChannelCase{44100, 2, 2},
                                           ChannelCase{16000, 4, 2}),
                         [](const auto& param) {
                             return std::to_string(static_cast<int>(param.param.rate)) + "Hz" +
                                    std::to_string(param.param.inputChannels) + "ch";
                         });

TEST_F(OpusEncoderTest, LongerThanManyBlocksKeepsItsLength) {
    // 4096-frame blocks: 61 s crosses hundreds of block boundaries at both rates.
    const QString input = writeTone(path("long.wav"), 16000, 1, 61.0);
    const QString output = OpusEncoder::encodeToOpus(input, path("long.opus"));
    EXPECT_NEAR(inspect(output, dir.path()).decodedSeconds, 61.0, 0.020);
}

TEST_F(OpusEncoderTest, HeaderWithoutSamplesFails) {
    auto writer = AudioFileWriter::create(path("empty.wav"), AudioFormat::working());
    writer->close();
    try {
        OpusEncoder::encodeToOpus(path("empty.wav"), path("empty.opus"));
        FAIL() << "expected an error";
    } catch (const OpusError& error) {
        EXPECT_EQ(error.kind(), OpusError::Kind::conversionFailed);
        EXPECT_EQ(error.description(), QStringLiteral("Audio file has no readable samples."));
    }
    EXPECT_FALSE(QFile::exists(path("empty.opus")));
}

TEST_F(OpusEncoderTest, MissingOutputFolderFailsWithTheLibraryText) {
    const QString input = writeTone(path("in.wav"), 16000, 1, 0.5);
    try {
        OpusEncoder::encodeToOpus(input, path("no/such/folder/out.opus"));
        FAIL() << "expected an error";
    } catch (const OpusError& error) {
        EXPECT_EQ(error.kind(), OpusError::Kind::failedToCreateEncoder);
        // libopusenc reports a file it cannot create as OPE_CANNOT_OPEN.
        EXPECT_EQ(error.description(), QStringLiteral("Failed to create Opus encoder: cannot open file"));
    }
}

TEST_F(OpusEncoderTest, UnreadableInputPassesTheReaderErrorOn) {
    QFile garbage(path("garbage.wav"));
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write("this is not audio at all");
    garbage.close();
    EXPECT_THROW(OpusEncoder::encodeToOpus(path("garbage.wav"), path("g.opus")), SystemError);
}

TEST_F(OpusEncoderTest, DefaultOutputIsAFreshOpusFileInTheTemporaryFolder) {
    const QString input = writeTone(path("in.wav"), 16000, 1, 0.5);
    const QString first = OpusEncoder::encodeToOpus(input);
    const QString second = OpusEncoder::encodeToOpus(input);

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
