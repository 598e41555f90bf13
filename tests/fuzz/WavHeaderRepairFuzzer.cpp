// Feeds arbitrary bytes to the WAV header repair, as a file on disk, and checks that it changes
// nothing but the two size fields and that a second pass finds nothing left to do.
#include "audio/WavHeaderRepair.h"

#include <QDir>
#include <QFile>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <unistd.h>

using murmurly::WavHeaderRepair;

namespace {

QString scratchPath() {
    static const QString path = QDir::tempPath() + QStringLiteral("/murmurly-fuzz-%1.wav").arg(getpid());
    return path;
}

void check(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray before(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const auto offset = WavHeaderRepair::findDataChunk(before);
    if (offset)
        check(*offset >= 12 && *offset + 8 <= before.size() && before.mid(*offset, 4) == "data");

    const QString path = scratchPath();
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(before);
    }
    const bool changed = WavHeaderRepair::repairIfNeeded(path);
    QFile file(path);
    check(file.open(QIODevice::ReadOnly));
    const QByteArray after = file.readAll();
    file.close();
    check(after.size() == before.size());
    if (!changed) {
        check(after == before);
        return 0;
    }
    check(offset.has_value());
    for (qsizetype i = 0; i < before.size(); ++i)
        if (!(i >= 4 && i < 8) && !(i >= *offset + 4 && i < *offset + 8))
            check(after[i] == before[i]);
    check(!WavHeaderRepair::repairIfNeeded(path));
    return 0;
}
