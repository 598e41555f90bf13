#include "audio/WavHeaderRepair.h"
#include "audio/AudioFileReader.h"
#include "audio/AudioFileWriter.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace murmurly;

using murmurly::test::readFile;
using murmurly::test::writeFile;

namespace {

QByteArray le32(std::uint32_t v) {
    return WavHeaderRepair::dataFromUInt32LE(v);
}

QByteArray chunk(const char* id, const QByteArray& content) {
    QByteArray out = QByteArray(id, 4) + le32(static_cast<std::uint32_t>(content.size())) + content;
    if (content.size() % 2)
        out.append('\0');
    return out;
}

QByteArray floatFmt() {
    QByteArray fmt;
    fmt += QByteArray::fromHex("0300"); // IEEE float
    fmt += QByteArray::fromHex("0100"); // mono
    fmt += le32(16000) + le32(64000);
    fmt += QByteArray::fromHex("0400") + QByteArray::fromHex("2000");
    return fmt;
}

// A canonical 44-byte header followed by `sampleBytes` bytes, its size fields set as given.
QByteArray canonicalWav(int sampleBytes, std::uint32_t riffSize, std::uint32_t dataSize) {
    QByteArray bytes = "RIFF" + le32(riffSize) + "WAVE" + chunk("fmt ", floatFmt()) + "data" + le32(dataSize);
    bytes.append(QByteArray(sampleBytes, '\x11'));
    return bytes;
}

// Every byte outside [4, 8) and [dataField, dataField + 4) is the same in both.
void expectOnlySizeFieldsDiffer(const QByteArray& before, const QByteArray& after, std::int64_t dataField) {
    ASSERT_EQ(before.size(), after.size());
    for (qsizetype i = 0; i < before.size(); ++i) {
        if ((i >= 4 && i < 8) || (i >= dataField && i < dataField + 4))
            continue;
        ASSERT_EQ(before[i], after[i]) << "byte " << i << " changed";
    }
}

class WavHeaderRepairTest : public ::testing::Test {
protected:
    QString path(const QString& name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

} // namespace

TEST_F(WavHeaderRepairTest, FixesSizesLeftByAnInterruptedWriterAndNothingElse) {
    const QString file = path(QStringLiteral("mixed-2025-03-01T14:05:09Z.wav"));
    writeFile(file, canonicalWav(956, 992, 956));
    EXPECT_FALSE(WavHeaderRepair::repairIfNeeded(file));
    EXPECT_EQ(readFile(file), canonicalWav(956, 992, 956));

    const QByteArray broken = canonicalWav(956, 0, 0);
    writeFile(file, broken);
    EXPECT_TRUE(WavHeaderRepair::repairIfNeeded(file));
    const QByteArray repaired = readFile(file);
    EXPECT_EQ(WavHeaderRepair::readUInt32LE(repaired, 4), 992u);
    EXPECT_EQ(WavHeaderRepair::readUInt32LE(repaired, 40), 956u);
    expectOnlySizeFieldsDiffer(broken, repaired, 40);
    EXPECT_FALSE(WavHeaderRepair::repairIfNeeded(file)); // a second pass has nothing left to do

    // Only the data size wrong: only that field is written.
    writeFile(file, canonicalWav(956, 992, 12));
    EXPECT_TRUE(WavHeaderRepair::repairIfNeeded(file));
    EXPECT_EQ(readFile(file), canonicalWav(956, 992, 956));

    // Sizes larger than the file (a header written ahead of the samples) are brought down too.
    writeFile(file, canonicalWav(956, 0x7FFFFFF0u, 0x7FFFFFC0u));
    EXPECT_TRUE(WavHeaderRepair::repairIfNeeded(file));
    EXPECT_EQ(readFile(file), canonicalWav(956, 992, 956));
}

TEST_F(WavHeaderRepairTest, WalksOddAndExtendedChunksToTheDataChunk) {
    // An extended 34-byte format chunk whose content happens to contain "data", then a 1-byte chunk
    // with its pad byte: a byte search or a walk without the pad would land in the wrong place.
    QByteArray fmt = floatFmt() + QByteArray::fromHex("1000") + "data" + QByteArray(12, '\x7f');
    ASSERT_EQ(fmt.size(), 34);
    const QByteArray head = "RIFF" + le32(0) + "WAVE" + chunk("fmt ", fmt) + chunk("odd ", "x");
    const std::int64_t dataOffset = head.size();
    EXPECT_EQ(dataOffset, 12 + 42 + 10);
    QByteArray bytes = head + "data" + le32(0) + QByteArray(333, '\x22');

    EXPECT_EQ(WavHeaderRepair::findDataChunk(bytes), dataOffset);
    const QString file = path(QStringLiteral("extended.WAV")); // the extension is compared without case
    writeFile(file, bytes);
    EXPECT_TRUE(WavHeaderRepair::repairIfNeeded(file));
    const QByteArray repaired = readFile(file);
    EXPECT_EQ(WavHeaderRepair::readUInt32LE(repaired, 4), static_cast<std::uint32_t>(bytes.size() - 8));
    EXPECT_EQ(WavHeaderRepair::readUInt32LE(repaired, dataOffset + 4), 333u);
    expectOnlySizeFieldsDiffer(bytes, repaired, dataOffset + 4);
}

TEST_F(WavHeaderRepairTest, LeavesForeignShortAndDatalessFilesUntouched) {
    const auto expectUntouched = [&](const QString& name, const QByteArray& bytes) {
        const QString file = path(name);
        writeFile(file, bytes);
        EXPECT_FALSE(WavHeaderRepair::repairIfNeeded(file)) << name.toStdString();
        EXPECT_EQ(readFile(file), bytes) << name.toStdString();
    };
    const QByteArray broken = canonicalWav(956, 0, 0);
    expectUntouched(QStringLiteral("recording.wav.part"), broken);
    expectUntouched(QStringLiteral("recording.raw"), broken);
    expectUntouched(QStringLiteral("recording"), broken);
    expectUntouched(QStringLiteral("header-only.wav"), canonicalWav(0, 0, 0)); // 44 bytes
    expectUntouched(QStringLiteral("rifx.wav"), "RIFX" + broken.mid(4));
    expectUntouched(QStringLiteral("avi.wav"), broken.left(8) + "AVI " + broken.mid(12));
    expectUntouched(QStringLiteral("text.wav"),
                    QByteArray("not a riff file at all, just some text\n").repeated(4));
    expectUntouched(QStringLiteral("nodata.wav"), "RIFF" + le32(0) + "WAVE" + chunk("fmt ", floatFmt()) +
                                                      chunk("LIST", QByteArray(500, 'x')));

    // A data chunk behind 128 KiB of other chunks is out of reach, as is one whose header straddles
    // the boundary; one whose header ends exactly at it is found.
    const QByteArray start = "RIFF" + le32(0) + "WAVE";
    const auto withJunk = [&](int junkBytes) -> QByteArray {
        return start + chunk("junk", QByteArray(junkBytes, '\0')) + "data" + le32(0) +
               QByteArray(100, '\x01');
    };
    expectUntouched(QStringLiteral("far.wav"), withJunk(200000));
    expectUntouched(QStringLiteral("straddle.wav"), withJunk(131072 - 20 - 4));
    const QString edge = path(QStringLiteral("edge.wav"));
    writeFile(edge, withJunk(131072 - 20 - 8));
    EXPECT_EQ(WavHeaderRepair::findDataChunk(readFile(edge).left(131072)), 131072 - 8);
    EXPECT_TRUE(WavHeaderRepair::repairIfNeeded(edge));

    EXPECT_FALSE(WavHeaderRepair::repairIfNeeded(path(QStringLiteral("missing.wav"))));
    EXPECT_FALSE(QFile::exists(path(QStringLiteral("missing.wav"))));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("folder.wav")));
    EXPECT_FALSE(WavHeaderRepair::repairIfNeeded(path(QStringLiteral("folder.wav"))));

    const QString readOnly = path(QStringLiteral("readonly.wav"));
    writeFile(readOnly, broken);
    QFile::setPermissions(readOnly, QFileDevice::ReadOwner);
    if (!QFile(readOnly).open(QIODevice::ReadWrite)) { // root can write regardless
        EXPECT_FALSE(WavHeaderRepair::repairIfNeeded(readOnly));
        EXPECT_EQ(readFile(readOnly), broken);
    }
}

TEST_F(WavHeaderRepairTest, ClampsSizesOfFilesBeyondFourGigabytes) {
    const QString file = path(QStringLiteral("huge.wav"));
    writeFile(file, canonicalWav(956, 0, 0));
    QFile huge(file);
    // Sparse on the file systems tests run on: no real 5 GB are written.
    if (!huge.resize(qint64{5} << 30))
        GTEST_SKIP() << "the temporary file system cannot hold a sparse 5 GB file";
    EXPECT_TRUE(WavHeaderRepair::repairIfNeeded(file));
    ASSERT_TRUE(huge.open(QIODevice::ReadOnly));
    const QByteArray head = huge.read(64);
    EXPECT_EQ(WavHeaderRepair::readUInt32LE(head, 4), 0xFFFFFFFFu);
    EXPECT_EQ(WavHeaderRepair::readUInt32LE(head, 40), 0xFFFFFFFFu);
}

TEST_F(WavHeaderRepairTest, RecoversEverySampleOfARecordingCopiedWhileBeingWritten) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> samples(20000);
    for (float& s : samples)
        s = dist(rng);

    const QString live = path(QStringLiteral("live.wav"));
    const QString copy = path(QStringLiteral("copy.wav"));
    auto writer = AudioFileWriter::create(live, AudioFormat::working());
    writer->write(samples.data(), samples.size());
    // What a crash would leave: the header as it was written before any sample.
    ASSERT_TRUE(QFile::copy(live, copy));
    const QByteArray before = readFile(copy);
    const auto dataOffset = WavHeaderRepair::findDataChunk(before);
    ASSERT_TRUE(dataOffset);
    EXPECT_NE(WavHeaderRepair::readUInt32LE(before, *dataOffset + 4), samples.size() * 4);

    EXPECT_TRUE(WavHeaderRepair::repairIfNeeded(copy));
    expectOnlySizeFieldsDiffer(before, readFile(copy), *dataOffset + 4);
    auto reader = AudioFileReader::open(copy);
    ASSERT_EQ(reader->length(), 20000);
    auto buffer = PcmBuffer::create(reader->processingFormat(), 20000);
    reader->read(*buffer);
    ASSERT_EQ(buffer->frameLength(), 20000u);
    EXPECT_TRUE(std::equal(samples.begin(), samples.end(), buffer->floatChannelData(0)));

    // Repairing the file the writer still appends to does not disturb it.
    EXPECT_TRUE(WavHeaderRepair::repairIfNeeded(live));
    writer->write(samples.data(), 1000);
    writer->close();
    EXPECT_EQ(AudioFileReader::open(live)->length(), 21000);
    EXPECT_FALSE(WavHeaderRepair::repairIfNeeded(live));
}

TEST(WavHeaderBytes, ReadsOnlyWholeLittleEndianValues) {
    const QByteArray bytes = QByteArray::fromHex("0102030405");
    EXPECT_EQ(WavHeaderRepair::readUInt32LE(bytes, 0), 0x04030201u);
    EXPECT_EQ(WavHeaderRepair::readUInt32LE(bytes, 1), 0x05040302u);
    EXPECT_EQ(WavHeaderRepair::readUInt32LE(bytes, 2), 0u);
    EXPECT_EQ(WavHeaderRepair::readUInt32LE(bytes, -1), 0u);
    EXPECT_EQ(WavHeaderRepair::dataFromUInt32LE(0xFFFFFFFEu), QByteArray::fromHex("feffffff"));
    EXPECT_EQ(WavHeaderRepair::findDataChunk(QByteArray("RIFF\0\0\0\0WAVEdata\0\0\0", 19)), std::nullopt);
    EXPECT_EQ(WavHeaderRepair::findDataChunk(QByteArray("RIFF\0\0\0\0WAVEdata\0\0\0\0", 20)), 12);
}

// Random, damaged headers: the data chunk found lies within the bytes, a repair changes nothing but
// the two size fields (and never the length), and a second pass finds nothing left to do.
TEST(WavHeaderRepairProperty, OnlyEverTouchesTheSizeFields) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("random.wav"));
    std::mt19937 rng(20250301);
    const auto below = [&rng](std::uint32_t n) { return static_cast<int>(rng() % n); };
    const auto word = [&rng] { return le32(static_cast<std::uint32_t>(rng())); };
    const auto noise = [&rng](int size) {
        QByteArray bytes(size, '\0');
        for (char& c : bytes)
            c = static_cast<char>(rng());
        return bytes;
    };
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
        writeFile(path, before);
        const bool changed = WavHeaderRepair::repairIfNeeded(path);
        const QByteArray after = readFile(path);
        ASSERT_EQ(after.size(), before.size()) << "iteration " << iteration;
        if (!changed) {
            ASSERT_EQ(after, before) << "iteration " << iteration;
            continue;
        }
        ++repaired;
        ASSERT_TRUE(data) << "iteration " << iteration;
        for (qsizetype i = 0; i < before.size(); ++i) {
            if (!(i >= 4 && i < 8) && !(i >= *data + 4 && i < *data + 8)) {
                ASSERT_EQ(after[i], before[i]) << "iteration " << iteration << " byte " << i;
            }
        }
        EXPECT_EQ(WavHeaderRepair::readUInt32LE(after, 4), static_cast<std::uint32_t>(after.size() - 8));
        EXPECT_FALSE(WavHeaderRepair::repairIfNeeded(path)) << "iteration " << iteration;
    }
    // The generator must reach the writing path often enough for the test to mean something.
    EXPECT_GT(repaired, 100);
}
