#include "audio/WavHeaderRepair.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace murmurly {

namespace {

constexpr std::int64_t kSmallestFile = 45; // a 44-byte canonical header and at least one sample byte
constexpr std::int64_t kHeaderSearchBytes = 131072;
constexpr std::int64_t kFirstChunk = 12;
constexpr std::int64_t kLargestSize = 0xFFFFFFFFll;

std::uint32_t clampedSize(std::int64_t size) {
    if (size < 0)
        return 0;
    return static_cast<std::uint32_t>(size > kLargestSize ? kLargestSize : size);
}

bool overwrite(QFile& file, std::int64_t offset, std::uint32_t value) {
    const QByteArray bytes = WavHeaderRepair::dataFromUInt32LE(value);
    return file.seek(offset) && file.write(bytes) == bytes.size();
}

} // namespace

std::uint32_t WavHeaderRepair::readUInt32LE(const QByteArray& bytes, std::int64_t offset) {
    if (offset < 0 || offset > bytes.size() - 4)
        return 0;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData() + offset);
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

QByteArray WavHeaderRepair::dataFromUInt32LE(std::uint32_t value) {
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFFu);
    return bytes;
}

std::optional<std::int64_t> WavHeaderRepair::findDataChunk(const QByteArray& bytes) {
    const std::int64_t size = bytes.size();
    std::int64_t p = kFirstChunk;
    // Each step advances by at least 8 bytes, and a 32-bit chunk size cannot overflow 64 bits.
    while (p + 8 <= size) {
        if (bytes.at(p) == 'd' && bytes.at(p + 1) == 'a' && bytes.at(p + 2) == 't' && bytes.at(p + 3) == 'a')
            return p;
        const std::int64_t n = readUInt32LE(bytes, p + 4);
        p += 8 + n + (n % 2);
    }
    return std::nullopt;
}

bool WavHeaderRepair::repairIfNeeded(const QString& path) {
    const QFileInfo info(path);
    if (info.suffix().toLower() != QLatin1String("wav"))
        return false;
    if (!info.exists() || !info.isFile())
        return false;
    const std::int64_t length = info.size();
    if (length < kSmallestFile)
        return false;

    // ExistingOnly: a file removed in the meantime is not created again. Unbuffered: a failed write
    // shows in write()'s result rather than at close, where it could no longer be reported.
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly | QIODevice::Unbuffered))
        return false;

    const QByteArray head = file.read(std::min(length, kHeaderSearchBytes));
    if (head.size() < 12)
        return false;
    if (!head.startsWith("RIFF") || head.mid(8, 4) != "WAVE")
        return false;
    const std::optional<std::int64_t> dataOffset = findDataChunk(head);
    if (!dataOffset)
        return false;

    const std::uint32_t riffSize = readUInt32LE(head, 4);
    const std::uint32_t dataSize = readUInt32LE(head, *dataOffset + 4);
    const std::uint32_t expectedRiff = clampedSize(length - 8);
    const std::uint32_t expectedData = clampedSize(length - (*dataOffset + 8));
    if (riffSize == expectedRiff && dataSize == expectedData)
        return false;

    bool wrote = false;
    if (riffSize != expectedRiff)
        wrote = overwrite(file, 4, expectedRiff) || wrote;
    if (dataSize != expectedData)
        wrote = overwrite(file, *dataOffset + 4, expectedData) || wrote;
    file.close();
    return wrote;
}

} // namespace murmurly
