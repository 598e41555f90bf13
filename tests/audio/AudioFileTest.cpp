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

TEST_F(AudioFileTest, FloatWavRoundTripsBitExactThroughReaderAndSox) {
    const std::vector<float> samples = randomSamples(40000, 1);
    const QString file = path(QStringLiteral("session.wav"));
    {
        auto writer = AudioFileWriter::create(file, AudioFormat::working());
        // Mixed block sizes, through both entry points.
        writer->write(samples.data(), 4096);
        writer->write(PcmBuffer::fromMonoFloat(samples.data() + 4096, 10000));
        writer->write(samples.data() + 14096, samples.size() - 14096);
        EXPECT_EQ(writer->framesWritten(), 40000);
        writer->close();
    }
    auto reader = AudioFileReader::open(file);
    EXPECT_EQ(reader->length(), 40000);
    EXPECT_EQ(reader->processingFormat(), AudioFormat::working());
    reader.reset();

    EXPECT_EQ(readAllMono(file), samples);
    EXPECT_EQ(soxDecode(file, QStringLiteral("f32")),
              bytesOf(samples.data(), samples.size() * sizeof(float)));
}

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

TEST_F(AudioFileTest, PositionedReadsStartAtTheFrameAsked) {
    const std::vector<float> samples = randomSamples(10000, 3);
    const QString file = path(QStringLiteral("seek.wav"));
    AudioFileWriter::create(file, AudioFormat::working())->write(samples.data(), samples.size());

    auto reader = AudioFileReader::open(file);
    reader->setFramePosition(9000);
    EXPECT_EQ(reader->framePosition(), 9000);
    auto buffer = PcmBuffer::create(AudioFormat::working(), 4096);
    reader->read(*buffer, 300);
    ASSERT_EQ(buffer->frameLength(), 300u);
    EXPECT_EQ(std::memcmp(buffer->floatChannelData(0), samples.data() + 9000, 300 * sizeof(float)), 0);
    reader->read(*buffer);
    EXPECT_EQ(buffer->frameLength(), 700u);
    reader->read(*buffer);
    EXPECT_EQ(buffer->frameLength(), 0u);

    reader->setFramePosition(0);
    reader->read(*buffer, 1);
    EXPECT_EQ(buffer->floatChannelData(0)[0], samples[0]);
    EXPECT_THROW(reader->setFramePosition(10001), SystemError);
    EXPECT_THROW(reader->setFramePosition(-1), SystemError);

    // A buffer of another format is refused instead of being misread.
    auto stereo = PcmBuffer::create({16000, 2, SampleType::Float32, false}, 10);
    EXPECT_THROW(reader->read(*stereo), SystemError);
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

    // A RIFF/WAVE header followed by garbage.
    QByteArray garbage = whole.left(12);
    std::mt19937 rng(5);
    for (int i = 0; i < 4000; ++i)
        garbage.append(static_cast<char>(rng()));
    writeFile(path(QStringLiteral("garbage.wav")), garbage);
    try {
        readAllMono(path(QStringLiteral("garbage.wav")));
    } catch (const SystemError& e) {
        EXPECT_FALSE(e.description().isEmpty());
    }
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

    // A device that is always full behaves like a full disk: an error, not a crash or silence.
    const std::vector<float> samples = randomSamples(65536, 6);
    EXPECT_THROW(
        {
            auto full = AudioFileWriter::create(QStringLiteral("/dev/full"), AudioFormat::working());
            for (int i = 0; i < 16; ++i)
                full->write(samples.data(), samples.size());
            full->close();
        },
        SystemError);
}

TEST_F(AudioFileTest, DecodesCompressedFormatsToPlanarFloat) {
    // One second of a 440 Hz tone in each format, made by the system's own tools.
    struct Case {
        const char* name;
        double rate;
        std::uint32_t channels;
        double lengthTolerance; // lossy codecs pad the start or end
    };
    const Case cases[] = {{"tone.flac", 44100, 2, 0},
                          {"tone.ogg", 44100, 2, 0.01},
                          {"tone.mp3", 44100, 2, 0.1},
                          {"tone.opus", 48000, 2, 0.02}};
    for (const Case& c : cases) {
        const QString file = path(QLatin1String(c.name));
        QProcess tool;
        if (file.endsWith(QLatin1String(".opus"))) {
            const QString wav = path(QStringLiteral("tone-source.wav"));
            QProcess::execute(QStringLiteral("sox"),
                              {QStringLiteral("-n"), QStringLiteral("-r"), QStringLiteral("48000"),
                               QStringLiteral("-c"), QStringLiteral("2"), QStringLiteral("-b"),
                               QStringLiteral("16"), wav, QStringLiteral("synth"), QStringLiteral("1"),
                               QStringLiteral("sine"), QStringLiteral("440")});
            tool.start(QStringLiteral("opusenc"), {QStringLiteral("--quiet"), wav, file});
        } else {
            tool.start(QStringLiteral("sox"),
                       {QStringLiteral("-n"), QStringLiteral("-r"), QString::number(c.rate),
                        QStringLiteral("-c"), QString::number(c.channels), file, QStringLiteral("synth"),
                        QStringLiteral("1"), QStringLiteral("sine"), QStringLiteral("440")});
        }
        ASSERT_TRUE(tool.waitForFinished(60000));
        if (tool.exitCode() != 0) {
            ADD_FAILURE() << c.name << ": " << tool.readAllStandardError().toStdString();
            continue;
        }

        std::unique_ptr<AudioFileReader> reader;
        try {
            reader = AudioFileReader::open(file);
        } catch (const SystemError& e) {
            ADD_FAILURE() << c.name << ": " << e.description().toStdString();
            continue;
        }
        EXPECT_EQ(reader->processingFormat(), (AudioFormat{c.rate, c.channels, SampleType::Float32, false}))
            << c.name;
        auto buffer = PcmBuffer::create(reader->processingFormat(), 4096);
        std::vector<float> right;
        while (true) {
            reader->read(*buffer);
            if (buffer->frameLength() == 0)
                break;
            right.insert(right.end(), buffer->floatChannelData(1),
                         buffer->floatChannelData(1) + buffer->frameLength());
        }
        EXPECT_NEAR(static_cast<double>(right.size()), c.rate, c.rate * c.lengthTolerance + 1) << c.name;
        // Rising zero crossings with hysteresis, so that codec noise in the padding does not count.
        int rising = 0;
        bool armed = false;
        for (float x : right) {
            if (x < -0.1f)
                armed = true;
            else if (armed && x >= 0.0f) {
                ++rising;
                armed = false;
            }
        }
        EXPECT_NEAR(rising, 440, 2) << c.name;
    }
}
