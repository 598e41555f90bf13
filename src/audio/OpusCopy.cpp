#include "audio/OpusCopy.h"

#include "audio/AudioFileReader.h"
#include "audio/OpusEncoder.h"
#include "common/PrivateFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <set>

namespace murmurly {

namespace {

// How often a waiting preparation looks at its token: well inside the ~100 ms in which a
// cancelled transcription must let go.
constexpr std::chrono::milliseconds kCancelPoll{20};
// The longest Opus frame; a complete copy is never shorter than its source by more.
constexpr double kFrameSlackSeconds = 0.06;

// The copies being prepared right now, by path. One claim per copy: a cancelled run's encoding
// still winding down and the retry that replaces it must not write the same copy side by side.
class CopyClaims {
public:
    static CopyClaims& instance() {
        static CopyClaims claims;
        return claims;
    }

    void acquire(const QString& path, const CancellationToken& token) {
        std::unique_lock lock(m_mutex);
        while (m_busy.contains(path)) {
            m_released.wait_for(lock, kCancelPoll);
            token.throwIfCancelled();
        }
        m_busy.insert(path);
    }

    void release(const QString& path) {
        {
            std::lock_guard lock(m_mutex);
            m_busy.erase(path);
        }
        m_released.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_released;
    std::set<QString> m_busy;
};

class Claim {
public:
    Claim(QString path, const CancellationToken& token)
        : m_path(std::move(path)) {
        CopyClaims::instance().acquire(m_path, token);
    }
    ~Claim() { CopyClaims::instance().release(m_path); }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

private:
    QString m_path;
};

// ".mixed-<id>.opus.<UUID>.part": hidden, and without the ".opus" ending the history looks for.
QString partPrefix(const QFileInfo& target) {
    return QLatin1Char('.') + target.fileName() + QLatin1Char('.');
}

// Encodings cut off by a crash or a kill leave their temporary file behind; while we hold the
// claim, no other encoding of this copy is running, so whatever is there is such a leftover.
void removeLeftovers(const QFileInfo& target) {
    const QDir folder = target.absoluteDir();
    const QStringList leftovers =
        folder.entryList({partPrefix(target) + QStringLiteral("*.part")}, QDir::Files | QDir::Hidden);
    for (const QString& name : leftovers) {
        QFile::remove(folder.filePath(name));
    }
}

} // namespace

bool OpusCopy::isComplete(const QString& copy, const QString& source) {
    try {
        const auto original = AudioFileReader::open(source);
        const auto encoded = AudioFileReader::open(copy);
        const double wanted = double(original->length()) / original->processingFormat().sampleRate;
        const double have = double(encoded->length()) / encoded->processingFormat().sampleRate;
        return have + kFrameSlackSeconds >= wanted;
    } catch (const Error&) {
        return false;
    }
}

QString OpusCopy::write(const QString& source, const QString& target, Existing existing,
                        const CancellationToken& token) {
    const QFileInfo targetInfo(target);
    const Claim claim(targetInfo.absoluteFilePath(), token);
    if (existing == Existing::reuse && targetInfo.exists() && isComplete(target, source)) {
        return target;
    }
    removeLeftovers(targetInfo);

    const QString part = targetInfo.absoluteDir().filePath(
        partPrefix(targetInfo) + QUuid::createUuid().toString(QUuid::WithoutBraces) +
        QStringLiteral(".part"));
    // Made owner-only before the encoder opens it: the encoder keeps the mode it finds.
    PrivateFiles::createExclusively(part);
    try {
        OpusEncoder::encodeToOpus(source, part, token);
    } catch (...) {
        QFile::remove(part);
        throw;
    }
    // rename(2) replaces an older copy in one step: a reader sees the old copy or the new one.
    if (std::rename(QFile::encodeName(part).constData(), QFile::encodeName(target).constData()) != 0) {
        QFile::remove(part);
        throw OpusError(OpusError::Kind::encodingFailed,
                        QStringLiteral("Opus encoding failed: the copy could not be moved into place"));
    }
    return target;
}

} // namespace murmurly
