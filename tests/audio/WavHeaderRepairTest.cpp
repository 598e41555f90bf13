#include "audio/WavHeaderRepair.h"
#include "audio/AudioFileReader.h"
#include "audio/AudioFileWriter.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace murmurly;

using murmurly::test::readFile;
using murmurly::test::writeFile;

namespace {

// Written here rather than with the repair's own helper, so that both cannot be wrong the same way.
QByteArray le32(std::uint32_t value) {
    QByteArray bytes(4, '\0');
    qToLittleEndian(value, bytes.data());
    return bytes;
}

QByteArray chunk(const char* id, const QByteArray& content) {
    QByteArray out = QByteArray(id, 4) + le32(static_cast<std::uint32_t>(content.size())) + content;
    if (content.size() % 2)
        out.append('\0');
    return out;
}

// 16 kHz mono float.
const QByteArray kFloatFmt = QByteArray::fromHex("03000100803e000000fa000004002000");

// A canonical 44-byte header followed by `sampleBytes` bytes, its size fields set as given.
QByteArray canonicalWav(int sampleBytes, std::uint32_t riffSize, std::uint32_t dataSize) {
    return "RIFF" + le32(riffSize) + "WAVE" + chunk("fmt ", kFloatFmt) + "data" + le32(dataSize) +
           QByteArray(sampleBytes, '\x11');
}

// The first byte outside the two size fields ([4, 8) and [dataSize, dataSize + 4)) that differs, or
// -1 if there is none and the lengths agree.
qsizetype otherChange(const QByteArray& before, const QByteArray& after, std::int64_t dataSize) {
    for (qsizetype i = 0; i < std::min(before.size(), after.size()); ++i) {
        if (before[i] != after[i] && !(i >= 4 && i < 8) && !(i >= dataSize && i < dataSize + 4))
            return i;
    }
    return before.size() == after.size() ? -1 : std::min(before.size(), after.size());
}

class WavHeaderRepairTest : public ::testing::Test {
protected:
    QString path(const char* name) const { return dir.filePath(QLatin1String(name)); }
    QTemporaryDir dir;
};

} // namespace

TEST_F(WavHeaderRepairTest, SetsBothSizesFromTheFileLengthAndNothingElse) {
    const QString file = path("mixed-2025-03-01T14:05:09Z.wav");
    // Right already; as an interrupted writer leaves them; one of them only; larger than the file
    // (a header written ahead of its samples).
    const std::pair<std::uint32_t, std::uint32_t> sizes[] = {
        {992, 956}, {0, 0}, {992, 12}, {0x7FFFFFF0u, 0x7FFFFFC0u}};
    for (const auto& [riff, data] : sizes) {
        writeFile(file, canonicalWav(956, riff, data));
        EXPECT_EQ(WavHeaderRepair::repairIfNeeded(file), riff != 992 || data != 956) << riff;
        EXPECT_EQ(readFile(file), canonicalWav(956, 992, 956)) << riff;
        EXPECT_FALSE(WavHeaderRepair::repairIfNeeded(file)) << "a second pass has nothing left to do";
    }
}

TEST_F(WavHeaderRepairTest, WalksOddAndExtendedChunksToTheDataChunk) {
    // An extended 34-byte format chunk whose content happens to contain "data", then a 1-byte chunk
    // with its pad byte: a byte search or a walk without the pad would land in the wrong place.
    const QByteArray fmt = kFloatFmt + QByteArray::fromHex("1000") + "data" + QByteArray(12, '\x7f');
    const QByteArray head = "RIFF" + le32(0) + "WAVE" + chunk("fmt ", fmt) + chunk("odd ", "x");
    ASSERT_EQ(head.size(), 12 + 42 + 10);
    const QByteArray bytes = head + "data" + le32(0) + QByteArray(333, '\x22');
    EXPECT_EQ(WavHeaderRepair::findDataChunk(bytes), head.size());
    // Only a whole chunk header counts.
    EXPECT_EQ(WavHeaderRepair::findDataChunk(bytes.left(head.size() + 7)), std::nullopt);

    const QString file = path("extended.WAV"); // the extension is compared without case
    writeFile(file, bytes);
    EXPECT_TRUE(WavHeaderRepair::repairIfNeeded(file));
    const QByteArray repaired = readFile(file);
    EXPECT_EQ(repaired.mid(4, 4), le32(static_cast<std::uint32_t>(bytes.size() - 8)));
    EXPECT_EQ(repaired.mid(head.size() + 4, 4), le32(333));
    EXPECT_EQ(otherChange(bytes, repaired, head.size() + 4), -1);
}

TEST_F(WavHeaderRepairTest, LeavesForeignShortAndDatalessFilesUntouched) {
    const QByteArray broken = canonicalWav(956, 0, 0);
    // A data chunk behind 128 KiB of other chunks is out of reach, as is one whose header straddles
    // the boundary; one whose header ends exactly at it is found.
    const auto behindJunk = [](int junkBytes) -> QByteArray {
        return "RIFF" + le32(0) + "WAVE" + chunk("junk", QByteArray(junkBytes, '\0')) + "data" + le32(0) +
               QByteArray(100, '\x01');
    };
    const std::pair<const char*, QByteArray> untouched[] = {
        {"recording.wav.part", broken},
        {"recording.raw", broken},
        {"recording", broken},
        {"header-only.wav", canonicalWav(0, 0, 0)}, // 44 bytes
        {"rifx.wav", "RIFX" + broken.mid(4)},
        {"avi.wav", broken.left(8) + "AVI " + broken.mid(12)},
        {"text.wav", QByteArray("not a riff file at all, just some text\n").repeated(4)},
        {"nodata.wav",
         "RIFF" + le32(0) + "WAVE" + chunk("fmt ", kFloatFmt) + chunk("LIST", QByteArray(500, 'x'))},
        {"far.wav", behindJunk(200000)},
        {"straddle.wav", behindJunk(131072 - 20 - 4)},
    };
    for (const auto& [name, bytes] : untouched) {
        writeFile(path(name), bytes);
        EXPECT_FALSE(WavHeaderRepair::repairIfNeeded(path(name))) << name;
        EXPECT_EQ(readFile(path(name)), bytes) << name;
    }
    writeFile(path("edge.wav"), behindJunk(131072 - 20 - 8));
    EXPECT_TRUE(WavHeaderRepair::repairIfNeeded(path("edge.wav")));

    EXPECT_FALSE(WavHeaderRepair::repairIfNeeded(path("missing.wav")));
    EXPECT_FALSE(QFile::exists(path("missing.wav")));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("folder.wav")));
    EXPECT_FALSE(WavHeaderRepair::repairIfNeeded(path("folder.wav")));
    writeFile(path("readonly.wav"), broken);
    QFile::setPermissions(path("readonly.wav"), QFileDevice::ReadOwner);
    if (!QFile(path("readonly.wav")).open(QIODevice::ReadWrite)) { // root can write regardless
        EXPECT_FALSE(WavHeaderRepair::repairIfNeeded(path("readonly.wav")));
        EXPECT_EQ(readFile(path("readonly.wav")), broken);
    }
}

TEST_F(WavHeaderRepairTest, ClampsSizesOfFilesBeyondFourGigabytes) {
    writeFile(path("huge.wav"), canonicalWav(956, 0, 0));
    QFile huge(path("huge.wav"));
    // Sparse on the file systems tests run on: no real 5 GB are written.
    if (!huge.resize(qint64{5} << 30))
        GTEST_SKIP() << "the temporary file system cannot hold a sparse 5 GB file";
    EXPECT_TRUE(WavHeaderRepair::repairIfNeeded(path("huge.wav")));
    ASSERT_TRUE(huge.open(QIODevice::ReadOnly));
    EXPECT_EQ(huge.read(44), canonicalWav(0, 0xFFFFFFFFu, 0xFFFFFFFFu));
}

// What a crash leaves of a recording: the header libsndfile wrote before any sample.
TEST_F(WavHeaderRepairTest, RecoversEverySampleOfARecordingCopiedWhileBeingWritten) {
    std::vector<float> samples(20000);
    std::mt19937 rng(11);
    for (float& s : samples)
        s = std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
    auto writer = AudioFileWriter::create(path("live.wav"), AudioFormat::working());
    writer->write(samples.data(), samples.size());
    ASSERT_TRUE(QFile::copy(path("live.wav"), path("copy.wav")));
    const QByteArray before = readFile(path("copy.wav"));
    const auto dataOffset = WavHeaderRepair::findDataChunk(before);
    ASSERT_TRUE(dataOffset);

    EXPECT_TRUE(WavHeaderRepair::repairIfNeeded(path("copy.wav")));
    EXPECT_EQ(otherChange(before, readFile(path("copy.wav")), *dataOffset + 4), -1);
    auto reader = AudioFileReader::open(path("copy.wav"));
    auto buffer = PcmBuffer::create(reader->processingFormat(), 30000);
    reader->read(*buffer);
    ASSERT_EQ(buffer->frameLength(), 20000u);
    EXPECT_TRUE(std::equal(samples.begin(), samples.end(), buffer->floatChannelData(0)));

    // Repairing the file the writer still appends to does not disturb it.
    EXPECT_TRUE(WavHeaderRepair::repairIfNeeded(path("live.wav")));
    writer->write(samples.data(), 1000);
    writer->close();
    EXPECT_EQ(AudioFileReader::open(path("live.wav"))->length(), 21000);
    EXPECT_FALSE(WavHeaderRepair::repairIfNeeded(path("live.wav")));
}

// Random, damaged headers: the data chunk found lies within the bytes, a repair changes nothing but
// the two size fields (and never the length), and a second pass finds nothing left to do.
TEST_F(WavHeaderRepairTest, RandomHeadersOnlyEverHaveTheirSizeFieldsChanged) {
    std::mt19937 rng(20250301);
    const auto below = [&rng](std::uint32_t n) { return static_cast<int>(rng() % n); };
    const auto word = [&rng] { return le32(static_cast<std::uint32_t>(rng())); };
    const auto noise = [&rng](int size) {
        QByteArray bytes(size, '\0');
        for (char& c : bytes)
            c = static_cast<char>(rng());
        return bytes;
    };
    const QString file = path("random.wav");
    int repaired = 0;
    for (int iteration = 0; iteration < 1000; ++iteration) {
        QByteArray before = "RIFF" + word() + "WAVE";
        for (int chunks = below(4); chunks > 0; --chunks) {
            const int size = below(64);
            before += "fmt " + (below(8) == 0 ? word() : le32(static_cast<std::uint32_t>(size)));
            before += noise(size + size % 2);
        }
        if (below(4) != 0)
            before += "data" + (below(2) ? le32(0) : word());
        before += noise(below(300));
        for (int damage = below(4); damage > 0; --damage)
            before[below(static_cast<std::uint32_t>(before.size()))] = static_cast<char>(rng());
        if (below(4) == 0)
            before.truncate(below(static_cast<std::uint32_t>(before.size() + 1)));
        if (iteration % 5 == 0)
            before = noise(below(200));

        const auto data = WavHeaderRepair::findDataChunk(before);
        if (data) {
            ASSERT_GE(*data, 12);
            ASSERT_LE(*data + 8, before.size());
            ASSERT_EQ(before.mid(*data, 4), QByteArray("data"));
        }
        writeFile(file, before);
        const bool changed = WavHeaderRepair::repairIfNeeded(file);
        const QByteArray after = readFile(file);
        ASSERT_EQ(otherChange(before, after, data ? *data + 4 : -8), -1) << "iteration " << iteration;
        if (!changed) {
            ASSERT_EQ(after, before) << "iteration " << iteration;
            continue;
        }
        ++repaired;
        ASSERT_TRUE(data) << "iteration " << iteration;
        EXPECT_EQ(after.mid(4, 4), le32(static_cast<std::uint32_t>(after.size() - 8)));
        EXPECT_FALSE(WavHeaderRepair::repairIfNeeded(file)) << "iteration " << iteration;
    }
    // The generator must reach the writing path often enough for the test to mean something.
    EXPECT_GT(repaired, 100);
}
