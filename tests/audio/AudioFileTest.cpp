#include "audio/AudioFileReader.h"
#include "audio/AudioFileWriter.h"
#include "common/Error.h"
#include "support/TestFiles.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

using namespace murmurly;

using murmurly::test::writeFile;

namespace {

std::vector<float> randomSamples(std::size_t count, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> samples(count);
    for (float& s : samples)
        s = dist(rng);
    return samples;
}

QByteArray bytesOf(const void* data, std::size_t size) {
    return QByteArray(static_cast<const char*>(data), static_cast<qsizetype>(size));
}

// Decodes a file with sox into raw samples of `type` ("f32" or "s16"), native endianness.
QByteArray soxDecode(const QString& path, const QString& type) {
    QProcess sox;
    sox.start(QStringLiteral("sox"),
              {QStringLiteral("-V1"), path, QStringLiteral("-t"), type, QStringLiteral("-")});
    EXPECT_TRUE(sox.waitForFinished(60000));
    EXPECT_EQ(sox.exitCode(), 0) << sox.readAllStandardError().toStdString();
    return sox.readAllStandardOutput();
}

std::vector<float> readAllMono(const QString& path) {
    auto reader = AudioFileReader::open(path);
    auto buffer = PcmBuffer::create(reader->processingFormat(), 1000);
    std::vector<float> out;
    while (true) {
        reader->read(*buffer);
        if (buffer->frameLength() == 0)
            break;
        out.insert(out.end(), buffer->floatChannelData(0),
                   buffer->floatChannelData(0) + buffer->frameLength());
    }
    return out;
}

class AudioFileTest : public ::testing::Test {
protected:
    QString path(const QString& name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

} // namespace

TEST_F(AudioFileTest, Int16StereoFileKeepsEverySampleAndReadsAsPlanarFloat) {
    const AudioFormat format{48000, 2, SampleType::Int16, true};
    auto buffer = PcmBuffer::create(format, 3000);
    std::mt19937 rng(7);
    for (std::uint32_t i = 0; i < 6000; ++i)
        buffer->int16ChannelData(0)[i] = static_cast<std::int16_t>(rng());
    buffer->setFrameLength(3000);
    const QString file = path(QStringLiteral("stereo.wav"));
    {
        auto writer = AudioFileWriter::create(file, format);
        writer->write(*buffer);
        // A planar float buffer of the same rate and channels is accepted as well.
        auto planar = PcmBuffer::create({48000, 2, SampleType::Float32, false}, 2);
        planar->floatChannelData(0)[0] = 0.5f;
        planar->floatChannelData(1)[0] = -0.5f;
        planar->floatChannelData(0)[1] = 2.0f; // clipped, not wrapped
        planar->floatChannelData(1)[1] = -2.0f;
        planar->setFrameLength(2);
        writer->write(*planar);
    }
    const QByteArray decoded = soxDecode(file, QStringLiteral("s16"));
    ASSERT_EQ(decoded.size(), 3002 * 4);
    EXPECT_EQ(decoded.left(12000), bytesOf(buffer->bufferData(0), 12000));
    const auto* tail = reinterpret_cast<const std::int16_t*>(decoded.constData() + 12000);
    EXPECT_NEAR(tail[0], 16384, 1);
    EXPECT_NEAR(tail[1], -16384, 1);
    EXPECT_EQ(tail[2], 32767);
    EXPECT_EQ(tail[3], -32768);

    auto reader = AudioFileReader::open(file);
    EXPECT_EQ(reader->processingFormat(), (AudioFormat{48000, 2, SampleType::Float32, false}));
    auto planar = PcmBuffer::create(reader->processingFormat(), 4096);
    reader->read(*planar);
    ASSERT_EQ(planar->frameLength(), 3002u);
    for (std::uint32_t i = 0; i < 3000; ++i) {
        ASSERT_EQ(planar->floatChannelData(0)[i], buffer->int16ChannelData(0)[2 * i] / 32768.0f);
        ASSERT_EQ(planar->floatChannelData(1)[i], buffer->int16ChannelData(0)[2 * i + 1] / 32768.0f);
    }
}

TEST_F(AudioFileTest, UpdatedHeaderShowsEverythingWrittenWhileStillOpen) {
    const std::vector<float> samples = randomSamples(20000, 2);
    const QString file = path(QStringLiteral("live.wav"));
    auto writer = AudioFileWriter::create(file, AudioFormat::working());
    writer->write(samples.data(), 12000);
    writer->updateHeader();

    EXPECT_EQ(AudioFileReader::open(file)->length(), 12000);
    EXPECT_EQ(soxDecode(file, QStringLiteral("f32")), bytesOf(samples.data(), 12000 * sizeof(float)));

    // Writing goes on after the header rewrite, and closing covers the rest.
    writer->write(samples.data() + 12000, 8000);
    writer->close();
    EXPECT_EQ(readAllMono(file), samples);
}

TEST_F(AudioFileTest, BrokenFilesGiveAClearErrorAndNoCrash) {
    const auto expectOpenError = [](const QString& file, const char* fragment) {
        try {
            AudioFileReader::open(file);
            ADD_FAILURE() << "opened " << file.toStdString();
        } catch (const SystemError& e) {
            EXPECT_TRUE(e.description().contains(file)) << e.description().toStdString();
            EXPECT_TRUE(e.description().contains(QLatin1String(fragment), Qt::CaseInsensitive))
                << e.description().toStdString();
        }
    };
    expectOpenError(path(QStringLiteral("missing.wav")), "no such file");
    expectOpenError(dir.path(), "folder");

    writeFile(path(QStringLiteral("empty.wav")), {});
    expectOpenError(path(QStringLiteral("empty.wav")), "Cannot open audio file");
    writeFile(path(QStringLiteral("notes.wav")),
              QByteArray("these are meeting notes, not audio\n").repeated(20));
    expectOpenError(path(QStringLiteral("notes.wav")), "Cannot open audio file");

    // A valid file cut inside its header.
    const std::vector<float> samples = randomSamples(5000, 4);
    const QString good = path(QStringLiteral("good.wav"));
    AudioFileWriter::create(good, AudioFormat::working())->write(samples.data(), samples.size());
    QFile goodFile(good);
    ASSERT_TRUE(goodFile.open(QIODevice::ReadOnly));
    const QByteArray whole = goodFile.readAll();
    writeFile(path(QStringLiteral("header-cut.wav")), whole.left(30));
    expectOpenError(path(QStringLiteral("header-cut.wav")), "Cannot open audio file");

    // Cut inside the samples: opens and reads what is there, no further.
    writeFile(path(QStringLiteral("data-cut.wav")), whole.left(whole.size() - 4000 * 4 - 2));
    std::vector<float> partial;
    EXPECT_NO_THROW(partial = readAllMono(path(QStringLiteral("data-cut.wav"))));
    EXPECT_LE(partial.size(), 1000u);
    EXPECT_TRUE(std::equal(partial.begin(), partial.end(), samples.begin()));
}

TEST_F(AudioFileTest, WriterReportsFilesItCannotCreateOrFill) {
    EXPECT_THROW(
        AudioFileWriter::create(path(QStringLiteral("no/such/folder/x.wav")), AudioFormat::working()),
        SystemError);
    EXPECT_THROW(AudioFileWriter::create(path(QStringLiteral("x.wav")), {0, 1, SampleType::Float32, false}),
                 SystemError);
    EXPECT_THROW(
        AudioFileWriter::create(path(QStringLiteral("x.wav")), {44100.5, 1, SampleType::Float32, false}),
        SystemError);

    auto writer = AudioFileWriter::create(path(QStringLiteral("mono.wav")), AudioFormat::working());
    auto stereo = PcmBuffer::create({16000, 2, SampleType::Float32, false}, 4);
    stereo->setFrameLength(4);
    EXPECT_THROW(writer->write(*stereo), SystemError);
    auto otherRate = PcmBuffer::create({48000, 1, SampleType::Float32, false}, 4);
    otherRate->setFrameLength(4);
    EXPECT_THROW(writer->write(*otherRate), SystemError);

    // Nothing that exists is ever opened for writing, not even a device (a full disk is the
    // recorder's file-size-limit test).
    EXPECT_THROW(AudioFileWriter::create(QStringLiteral("/dev/full"), AudioFormat::working()), SystemError);
}
