#include "audio/AudioFileReader.h"
#include "audio/AudioFileWriter.h"
#include "common/Error.h"
#include "support/TestFiles.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace murmurly;

using murmurly::test::readFile;
using murmurly::test::writeFile;

namespace {

std::vector<float> randomSamples(std::size_t count) {
    std::mt19937 rng(7);
    std::vector<float> samples(count);
    for (float& s : samples)
        s = std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
    return samples;
}

std::vector<float> readAllMono(const QString& path) {
    auto reader = AudioFileReader::open(path);
    auto buffer = PcmBuffer::create(reader->processingFormat(), 1000);
    std::vector<float> out;
    for (reader->read(*buffer); buffer->frameLength() > 0; reader->read(*buffer))
        out.insert(out.end(), buffer->floatChannelData(0),
                   buffer->floatChannelData(0) + buffer->frameLength());
    return out;
}

class AudioFileTest : public ::testing::Test {
protected:
    QString path(const char* name) const { return dir.filePath(QLatin1String(name)); }
    QTemporaryDir dir;
};

} // namespace

TEST_F(AudioFileTest, Int16StereoFileKeepsEverySampleClipsFloatsAndReadsAsPlanarFloat) {
    const AudioFormat format{48000, 2, SampleType::Int16, true};
    auto int16 = PcmBuffer::create(format, 3000);
    std::mt19937 rng(7);
    for (std::uint32_t i = 0; i < 6000; ++i)
        int16->int16ChannelData(0)[i] = static_cast<std::int16_t>(rng());
    int16->setFrameLength(3000);
    // Planar float of the same rate and channels is taken as well; beyond full scale it is clipped,
    // not wrapped around.
    auto planar = PcmBuffer::create({48000, 2, SampleType::Float32, false}, 2);
    const float written[2][2] = {{0.5f, 2.0f}, {-0.5f, -2.0f}};
    const float expected[2][2] = {{0.5f, 32767 / 32768.0f}, {-0.5f, -1.0f}};
    for (int c = 0; c < 2; ++c)
        std::copy_n(written[c], 2, planar->floatChannelData(c));
    planar->setFrameLength(2);
    {
        auto writer = AudioFileWriter::create(path("stereo.wav"), format);
        writer->write(*int16);
        writer->write(*planar);
    }

    auto reader = AudioFileReader::open(path("stereo.wav"));
    EXPECT_EQ(reader->processingFormat(), (AudioFormat{48000, 2, SampleType::Float32, false}));
    auto read = PcmBuffer::create(reader->processingFormat(), 4096);
    reader->read(*read);
    ASSERT_EQ(read->frameLength(), 3002u);
    for (std::uint32_t i = 0; i < 3002; ++i) {
        for (int c = 0; c < 2; ++c) {
            ASSERT_EQ(read->floatChannelData(c)[i],
                      i < 3000 ? int16->int16ChannelData(0)[2 * i + c] / 32768.0f : expected[c][i - 3000])
                << "frame " << i << " channel " << c;
        }
    }
}

TEST_F(AudioFileTest, UpdatedHeaderShowsEverythingWrittenWhileStillOpen) {
    const std::vector<float> samples = randomSamples(20000);
    auto writer = AudioFileWriter::create(path("live.wav"), AudioFormat::working());
    writer->write(samples.data(), 12000);
    writer->updateHeader();
    EXPECT_EQ(readAllMono(path("live.wav")), std::vector<float>(samples.begin(), samples.begin() + 12000));

    // Writing goes on after the header rewrite, and closing covers the rest.
    writer->write(samples.data() + 12000, 8000);
    writer->close();
    EXPECT_EQ(readAllMono(path("live.wav")), samples);
}

TEST_F(AudioFileTest, ReaderNamesTheFileAndTheCauseOfWhatItCannotOpen) {
    const std::vector<float> samples = randomSamples(5000);
    AudioFileWriter::create(path("good.wav"), AudioFormat::working())->write(samples.data(), samples.size());
    const QByteArray good = readFile(path("good.wav"));
    writeFile(path("empty.wav"), {});
    writeFile(path("notes.wav"), QByteArray("these are meeting notes, not audio\n").repeated(20));
    writeFile(path("header-cut.wav"), good.left(30));
    const std::pair<const char*, const char*> cases[] = {
        {"missing.wav", "no such file"},
        {"", "it is a folder"},
        {"empty.wav", "Cannot open audio file"},
        {"notes.wav", "Cannot open audio file"},
        {"header-cut.wav", "Cannot open audio file"},
    };
    for (const auto& [name, reason] : cases) {
        try {
            AudioFileReader::open(path(name));
            ADD_FAILURE() << "opened " << name;
        } catch (const SystemError& e) {
            EXPECT_TRUE(e.description().contains(path(name))) << e.description().toStdString();
            EXPECT_TRUE(e.description().contains(QLatin1String(reason))) << e.description().toStdString();
        }
    }

    // Cut inside the samples: what is there reads back, nothing more, and no error.
    writeFile(path("data-cut.wav"), good.left(good.size() - 4000 * 4 - 2));
    std::vector<float> partial;
    EXPECT_NO_THROW(partial = readAllMono(path("data-cut.wav")));
    EXPECT_LE(partial.size(), 1000u);
    EXPECT_TRUE(std::equal(partial.begin(), partial.end(), samples.begin()));
}

TEST_F(AudioFileTest, WriterRefusesWhatItCannotWriteAndNeverWritesOverAFile) {
    const AudioFormat working = AudioFormat::working();
    EXPECT_THROW(AudioFileWriter::create(path("no/such/folder/x.wav"), working), SystemError);
    EXPECT_THROW(AudioFileWriter::create(path("x.wav"), {0, 1, SampleType::Float32, false}), SystemError);
    EXPECT_THROW(AudioFileWriter::create(path("x.wav"), {44100.5, 1, SampleType::Float32, false}),
                 SystemError);
    // Not a recording, not even a device (a full disk is the recorder's file-size-limit test).
    EXPECT_THROW(AudioFileWriter::create(QStringLiteral("/dev/full"), working), SystemError);

    auto writer = AudioFileWriter::create(path("mono.wav"), working);
    EXPECT_THROW(AudioFileWriter::create(path("mono.wav"), working), SystemError);
    for (const AudioFormat& other : {AudioFormat{16000, 2, SampleType::Float32, false},
                                     AudioFormat{48000, 1, SampleType::Float32, false}}) {
        auto block = PcmBuffer::create(other, 4);
        block->setFrameLength(4);
        EXPECT_THROW(writer->write(*block), SystemError);
    }
}
