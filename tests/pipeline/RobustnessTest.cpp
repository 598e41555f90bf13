// Random and truncated input for the two parsers that read files left on disk by an earlier run:
// the WAV header repair and the pending-session record. Neither may crash, and the repair may only
// ever change the two size fields.
#include "audio/WavHeaderRepair.h"
#include "storage/PendingSession.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <random>

using namespace murmurly;

namespace {

QByteArray randomBytes(std::mt19937& rng, int size) {
    QByteArray bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(rng());
    return bytes;
}

QByteArray le32(std::uint32_t v) {
    return WavHeaderRepair::dataFromUInt32LE(v);
}

// A plausible header: RIFF/WAVE, a few chunks of random (sometimes odd, sometimes huge) sizes,
// maybe a data chunk, then some samples; then randomly damaged.
QByteArray randomWav(std::mt19937& rng) {
    QByteArray bytes = "RIFF" + le32(static_cast<std::uint32_t>(rng())) + "WAVE";
    const int chunks = static_cast<int>(rng() % 4);
    for (int i = 0; i < chunks; ++i) {
        const int size = static_cast<int>(rng() % 64);
        const bool lie = rng() % 8 == 0; // a size field that does not match the content
        bytes += "fmt " + le32(lie ? static_cast<std::uint32_t>(rng()) : static_cast<std::uint32_t>(size));
        bytes += randomBytes(rng, size + size % 2);
    }
    if (rng() % 4 != 0)
        bytes += "data" + le32(rng() % 2 ? 0u : static_cast<std::uint32_t>(rng()));
    bytes += randomBytes(rng, static_cast<int>(rng() % 300));
    const int damage = static_cast<int>(rng() % 4);
    for (int i = 0; i < damage && !bytes.isEmpty(); ++i)
        bytes[static_cast<qsizetype>(rng() % bytes.size())] = static_cast<char>(rng());
    if (rng() % 4 == 0)
        bytes.truncate(static_cast<qsizetype>(rng() % (bytes.size() + 1)));
    return bytes;
}

} // namespace

TEST(Robustness, WavHeaderRepairOnlyEverTouchesTheSizeFields) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("fuzz.wav"));
    std::mt19937 rng(20250301);
    int repaired = 0;
    for (int iteration = 0; iteration < 1000; ++iteration) {
        const QByteArray before =
            iteration % 5 == 0 ? randomBytes(rng, static_cast<int>(rng() % 200)) : randomWav(rng);
        {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(before);
        }
        const bool changed = WavHeaderRepair::repairIfNeeded(path);
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray after = file.readAll();
        ASSERT_EQ(after.size(), before.size()) << "iteration " << iteration;
        if (!changed) {
            ASSERT_EQ(after, before) << "iteration " << iteration;
            continue;
        }
        ++repaired;
        const auto data = WavHeaderRepair::findDataChunk(before);
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

TEST(Robustness, FindDataChunkStaysWithinTheBytes) {
    std::mt19937 rng(7);
    for (int iteration = 0; iteration < 20000; ++iteration) {
        const QByteArray bytes =
            iteration % 2 ? randomWav(rng) : randomBytes(rng, static_cast<int>(rng() % 64));
        const auto offset = WavHeaderRepair::findDataChunk(bytes);
        if (offset) {
            ASSERT_GE(*offset, 12);
            ASSERT_LE(*offset + 8, bytes.size());
            ASSERT_EQ(bytes.mid(*offset, 4), QByteArray("data"));
        }
        const auto at = static_cast<std::int64_t>(rng() % 80) - 8;
        const std::uint32_t value = WavHeaderRepair::readUInt32LE(bytes, at);
        if (at < 0 || at + 4 > bytes.size()) {
            ASSERT_EQ(value, 0u);
        }
    }
}

TEST(Robustness, PendingRecordDecoderSurvivesDamagedRecords) {
    const PendingSession session{
        QStringLiteral("/home/u/.local/share/Murmurly/mixed-2025-03-01T14:05:09Z.wav"),
        QDateTime::fromString(QStringLiteral("2025-03-01T14:05:09Z"), Qt::ISODate)};
    const QByteArray valid = session.encode();
    ASSERT_EQ(PendingSession::decode(valid), session);

    std::mt19937 rng(1403);
    // Every truncation of a valid record; only the whole record (perhaps minus trailing space) decodes.
    for (qsizetype length = 0; length < valid.size(); ++length)
        ASSERT_FALSE(PendingSession::decode(valid.left(length))) << length;

    for (int iteration = 0; iteration < 20000; ++iteration) {
        QByteArray bytes;
        switch (iteration % 3) {
        case 0:
            bytes = randomBytes(rng, static_cast<int>(rng() % 120));
            break;
        case 1: { // a few random bytes changed
            bytes = valid;
            const int changes = 1 + static_cast<int>(rng() % 3);
            for (int i = 0; i < changes; ++i)
                bytes[static_cast<qsizetype>(rng() % bytes.size())] = static_cast<char>(rng());
            break;
        }
        default: { // JSON-looking characters spliced in
            static const char alphabet[] = "{}[]\":,0123456789.-+eEnulltrfasZT \\/u";
            bytes = valid;
            const auto at = static_cast<qsizetype>(rng() % bytes.size());
            bytes.insert(at, alphabet[rng() % (sizeof alphabet - 1)]);
            break;
        }
        }
        const auto decoded = PendingSession::decode(bytes);
        if (decoded) { // whatever decodes must survive its own round trip
            ASSERT_EQ(PendingSession::decode(decoded->encode()), decoded) << bytes.toStdString();
        }
    }
}
