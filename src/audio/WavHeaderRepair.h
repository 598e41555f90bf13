#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

namespace murmurly {

// Makes the RIFF and data size fields of a WAV file agree with the file's real length, in place.
// A session WAV only gets correct size fields when its writer closes it; a file that is still being
// written, or that a crash left behind, would otherwise read as shorter than it is (or empty).
//
// The data chunk is taken to run to the end of the file and the RIFF size to cover the whole file;
// no other byte is changed. There is no lock: two repairs of the same file must not overlap.
class WavHeaderRepair {
public:
    WavHeaderRepair() = delete;

    // True if at least one size field was rewritten. False (file untouched) for a name not ending in
    // ".wav" (any case), a file under 45 bytes, one that is not RIFF/WAVE, one whose "data" chunk
    // header is not within its first 128 KiB, one that cannot be read or opened, or one already
    // right. Never throws.
    static bool repairIfNeeded(const QString& path);

    // Offset of the "data" chunk identifier, walking the chunks from offset 12 (odd-sized chunks
    // carry one pad byte); none when no whole chunk header named "data" lies within `bytes`.
    static std::optional<std::int64_t> findDataChunk(const QByteArray& bytes);
    // The little-endian value at `offset`, or 0 when the four bytes are not all there.
    static std::uint32_t readUInt32LE(const QByteArray& bytes, std::int64_t offset);
    static QByteArray dataFromUInt32LE(std::uint32_t value);
};

} // namespace murmurly
