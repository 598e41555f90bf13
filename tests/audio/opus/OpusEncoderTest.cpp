#include "audio/OpusEncoder.h"
#include "audio/AudioFileReader.h"
#include "audio/AudioFileWriter.h"
#include "support/MediaSamples.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace murmurly {
namespace {

// `seconds` of a 440 Hz tone as a float WAV with the given rate and channel count.
QString writeTone(const QString& path, double rate, int channels, double seconds) {
    const QString arguments = QStringLiteral("-f lavfi -i sine=f=440:r=%1 -t %2 -ac %3 -c:a pcm_f32le");
    test::makeMedia(arguments.arg(rate).arg(seconds).arg(channels).split(u' '), path);
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
        int inputChannels;
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
    // A header without samples leaves nothing behind; libopusenc reports a file it cannot create
    // as OPE_CANNOT_OPEN.
    AudioFileWriter::create(path("empty.wav"), AudioFormat::working())->close();
    const struct {
        QString input, output;
        OpusError::Kind kind;
        const char* text;
    } failures[] = {
        {path("empty.wav"), path("empty.opus"), OpusError::Kind::conversionFailed,
         "Audio file has no readable samples."},
        {writeTone(path("in.wav"), 16000, 1, 0.5), path("no/such/folder/out.opus"),
         OpusError::Kind::failedToCreateEncoder, "Failed to create Opus encoder: cannot open file"},
    };
    for (const auto& f : failures) {
        try {
            OpusEncoder::encodeToOpus(f.input, f.output);
            ADD_FAILURE() << f.text;
        } catch (const OpusError& error) {
            EXPECT_EQ(error.kind(), f.kind);
            EXPECT_EQ(error.description(), QString::fromUtf8(f.text));
        }
        EXPECT_FALSE(QFile::exists(f.output));
    }

    // An unreadable input: the reader's error is passed on.
    test::writeFile(path("garbage.wav"), "this is not audio at all");
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
