#pragma once

#include "history/SessionMetadataStore.h"
#include "storage/SessionStore.h"

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTime>

namespace murmurly::bench {

// The sizes of one finished session's files, in bytes.
struct SessionFileSizes {
    qint64 opus;
    qint64 transcript;
    qint64 wav;
};

inline void writeFileOfSize(const QString& path, qint64 bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    file.write(QByteArray(bytes, 'x'));
}

// Finished sessions as the pipeline leaves them (mixed Opus copy and transcript), the most recent
// fifth still with its WAV, every tenth renamed. Sizes vary a little per session so that no two
// rows read alike.
inline void populateHistory(int sessions, SessionFileSizes sizes) {
    const QDir app(SessionStore::appSupportDirectory());
    const QDir transcripts(SessionStore::transcriptsDirectory());
    const QDateTime start(QDate(2024, 1, 1), QTime(9, 0), Qt::UTC);
    SessionMetadataStore::NameMap names;
    for (int i = 0; i < sessions; ++i) {
        const QString id = start.addSecs(qint64(i) * 3671).toString(Qt::ISODate);
        writeFileOfSize(transcripts.filePath("mixed-" + id + ".opus"), sizes.opus + i % 50);
        writeFileOfSize(transcripts.filePath(id + ".txt"), sizes.transcript);
        if (i >= sessions * 4 / 5)
            writeFileOfSize(app.filePath("mixed-" + id + ".wav"), sizes.wav + i % 100);
        if (i % 10 == 0)
            names.insert(id, QStringLiteral("Meeting %1").arg(i));
    }
    // One write of the name file rather than one per renamed session.
    QFile file(SessionMetadataStore::fileLocation());
    if (!file.open(QIODevice::WriteOnly) || file.write(SessionMetadataStore::encode(names)) < 0)
        qFatal("cannot write the session names");
}

} // namespace murmurly::bench
