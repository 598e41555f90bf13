// The WAV file layer: what the writer accepts and keeps, what the reader makes of good and broken
// files, and the header repair that makes a file cut short by a crash readable again.

#include "audio/AudioFileReader.h"
#include "audio/AudioFileWriter.h"
#include "audio/WavHeaderRepair.h"
#include "common/Error.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtEndian>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <tuple>
#include <vector>

using namespace murmurly;
using namespace ::testing;

using murmurly::test::readFile;
using murmurly::test::writeFile;

namespace {

// Written here rather than with the repair's own helper, so that both cannot be wrong the same way.
QByteArray le32(std::uint32_t value) {
    QByteArray bytes(4, '\0');
    qToLittleEndian(value, bytes.data());
    return bytes;
}

// A chunk of even size (an odd one would need a pad byte).
QByteArray chunk(const char* id, const QByteArray& content) {
    return QByteArray(id, 4) + le32(static_cast<std::uint32_t>(content.size())) + content;
}

// 16 kHz mono float.
const QByteArray kFloatFmt = QByteArray::fromHex("03000100803e000000fa000004002000");

// A canonical 44-byte header followed by `sampleBytes` bytes, its size fields set as given.
QByteArray canonicalWav(int sampleBytes, std::uint32_t riffSize, std::uint32_t dataSize) {
    return "RIFF" + le32(riffSize) + "WAVE" + chunk("fmt ", kFloatFmt) + "data" + le32(dataSize) +
           QByteArray(sampleBytes, '\x11');
}

class AudioFileTest : public ::testing::Test {
protected:
    QString path(const char* name) const { return dir.filePath(QLatin1String(name)); }
    QTemporaryDir dir;
};

using WavHeaderRepairTest = AudioFileTest;

} // namespace

TEST_F(AudioFileTest, KeepsEverySampleAndRefusesWhatItCannotHandleNamingTheFileAndTheCause) {
    const AudioFormat format{48000, 2, SampleType::Int16, true};
    auto int16 = PcmBuffer::create(format, 2);
    std::ranges::copy(std::array<std::int16_t, 4>{12345, -23456, 32767, -32768}, int16->int16ChannelData(0));
    int16->setFrameLength(2);
    // Planar float is taken as well; beyond full scale it is clipped, not wrapped around.
    auto planar = PcmBuffer::create({48000, 2, SampleType::Float32, false}, 2);
    std::ranges::copy(std::array{0.5f, 2.0f}, planar->floatChannelData(0));
    std::ranges::copy(std::array{-0.5f, -2.0f}, planar->floatChannelData(1));
    planar->setFrameLength(2);
    auto writer = AudioFileWriter::create(path("stereo.wav"), format);
    writer->write(*int16);
    writer->write(*planar);
    writer->close();

    // Read back as planar float, 16-bit samples over 32768: every one as it was written.
    auto reader = AudioFileReader::open(path("stereo.wav"));
    ASSERT_EQ(reader->processingFormat(), (AudioFormat{48000, 2, SampleType::Float32, false}));
    auto read = PcmBuffer::create(reader->processingFormat(), 16);
    reader->read(*read);
    ASSERT_EQ(read->frameLength(), 4u);
    const float expected[2][4] = {{12345 / 32768.0f, 32767 / 32768.0f, 0.5f, 32767 / 32768.0f},
                                  {-23456 / 32768.0f, -1.0f, -0.5f, -1.0f}};
    for (int c = 0; c < 2; ++c)
        EXPECT_TRUE(std::equal(expected[c], expected[c] + 4, read->floatChannelData(c))) << "channel " << c;

    writeFile(path("header-cut.wav"), canonicalWav(956, 992, 956).left(30));
    const std::pair<const char*, const char*> unreadable[] = {
        {"missing.wav", "no such file"},
        {"", "it is a folder"},
        {"header-cut.wav", "Cannot open audio file"},
    };
    for (const auto& [name, reason] : unreadable) {
        EXPECT_THAT(
            [&] { AudioFileReader::open(path(name)); },
            ThrowsMessage<SystemError>(AllOf(HasSubstr(path(name).toStdString()), HasSubstr(reason))));
    }

    const AudioFormat working = AudioFormat::working();
    EXPECT_THROW(AudioFileWriter::create(path("no/such/folder/x.wav"), working), SystemError);
    for (const double rate : {0.0, 44100.5})
        EXPECT_THROW(AudioFileWriter::create(path("x.wav"), {rate, 1, SampleType::Float32, false}),
                     SystemError);
    auto mono = AudioFileWriter::create(path("mono.wav"), working);
    // A recording is never written over.
    EXPECT_THROW(AudioFileWriter::create(path("mono.wav"), working), SystemError);
    for (const AudioFormat& other : {AudioFormat{16000, 2, SampleType::Float32, false},
                                     AudioFormat{48000, 1, SampleType::Float32, false}}) {
        auto block = PcmBuffer::create(other, 4);
        block->setFrameLength(4);
        EXPECT_THROW(mono->write(*block), SystemError);
    }
}

// The repair sets both size fields from the file's length and changes nothing else, and a second
// pass finds nothing left to do; files it must not or cannot understand stay as they are.
TEST_F(WavHeaderRepairTest, SetsBothSizesFromTheFileLengthAndLeavesEverythingElse) {
    // An extended 34-byte format chunk whose content happens to contain "data", then a 1-byte chunk
    // with its pad byte: a byte search or a walk without the pad would land in the wrong place.
    const QByteArray extended =
        "WAVE" + chunk("fmt ", kFloatFmt + QByteArray::fromHex("1000") + "data" + QByteArray(12, '\x7f')) +
        "odd " + le32(1) + QByteArray("x\0", 2) + "data";
    const QByteArray samples(333, '\x22');
    // A data chunk behind 128 KiB of other chunks is out of reach, as is one whose header straddles
    // the boundary; one whose header ends exactly at it is found.
    const auto behindJunk = [](int junkBytes, std::uint32_t riff = 0, std::uint32_t data = 0) -> QByteArray {
        return "RIFF" + le32(riff) + "WAVE" + chunk("junk", QByteArray(junkBytes, '\0')) + "data" +
               le32(data) + QByteArray(100, '\x01');
    };
    const int edge = 131072 - 20 - 8;
    const QByteArray good = canonicalWav(956, 992, 956), broken = canonicalWav(956, 0, 0);
    // Each file as written and as the repair must leave it (null: untouched).
    const std::tuple<const char*, QByteArray, QByteArray> cases[] = {
        // Right already; as an interrupted writer leaves them; one of them only; larger than the
        // file (a header written ahead of its samples).
        {"mixed-2025-03-01T14:05:09Z.wav", good, good},
        {"interrupted.wav", broken, good},
        {"one.wav", canonicalWav(956, 992, 12), good},
        {"ahead.wav", canonicalWav(956, 0x7FFFFFF0u, 0x7FFFFFC0u), good},
        {"extended.WAV", "RIFF" + le32(0) + extended + le32(0) + samples, // any case of extension
         "RIFF" + le32(std::uint32_t(extended.size() + 4 + 333)) + extended + le32(333) + samples},
        {"edge.wav", behindJunk(edge), behindJunk(edge, edge + 120, 100)},
        {"far.wav", behindJunk(200000), {}},
        {"straddle.wav", behindJunk(edge + 4), {}},
        {"recording.wav.part", broken, {}},
        {"header-only.wav", canonicalWav(0, 0, 0), {}}, // 44 bytes
        {"rifx.wav", "RIFX" + broken.mid(4), {}},
        {"avi.wav", broken.left(8) + "AVI " + broken.mid(12), {}},
        {"nodata.wav", "RIFF" + le32(0) + "WAVE" + chunk("LIST", QByteArray(500, 'x')), {}},
    };
    for (const auto& [name, before, repaired] : cases) {
        const QByteArray& after = repaired.isNull() ? before : repaired;
        writeFile(path(name), before);
        EXPECT_EQ(WavHeaderRepair::repairIfNeeded(path(name)), before != after) << name;
        EXPECT_EQ(readFile(path(name)), after) << name;
        EXPECT_FALSE(WavHeaderRepair::repairIfNeeded(path(name))) << name << ": a second pass";
    }
    EXPECT_FALSE(WavHeaderRepair::repairIfNeeded(path("missing.wav")));

    // Beyond 4 GB both sizes are clamped. Sparse on the file systems tests run on: no real 5 GB
    // are written.
    QFile huge(path("interrupted.wav"));
    if (!huge.resize(qint64{5} << 30))
        GTEST_SKIP() << "the temporary file system cannot hold a sparse 5 GB file";
    EXPECT_TRUE(WavHeaderRepair::repairIfNeeded(huge.fileName()));
    ASSERT_TRUE(huge.open(QIODevice::ReadOnly));
    EXPECT_EQ(huge.read(44), canonicalWav(0, 0xFFFFFFFFu, 0xFFFFFFFFu));
}
