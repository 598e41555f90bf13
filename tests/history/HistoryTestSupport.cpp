#include "HistoryTestSupport.h"

#include "storage/SessionStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QThread>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cmath>

namespace murmurly::test {

void RecordingRunner::transcribeFiles(std::optional<QString> audioPath, std::optional<QString> sessionID,
                                      std::optional<QString> language, bool force,
                                      TranscriptionCompletion completion) {
    calls.push_back({std::move(audioPath), std::move(sessionID), std::move(language), force,
                     std::move(completion),
                     QThread::currentThread() == QCoreApplication::instance()->thread()});
}

QString inApp(const QString& name) {
    return QDir(SessionStore::appSupportDirectory()).filePath(name);
}

QString inTranscripts(const QString& name) {
    return QDir(SessionStore::transcriptsDirectory()).filePath(name);
}

QString writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        ADD_FAILURE() << "cannot write " << path.toStdString();
    return path;
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void setModified(const QString& path, const QDateTime& when) {
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite) || !file.setFileTime(when, QFileDevice::FileModificationTime))
        ADD_FAILURE() << "cannot set the time of " << path.toStdString();
}

QByteArray wavFile(int frames) {
    const auto le = [](quint32 v, int bytes) {
        QByteArray b(4, '\0');
        qToLittleEndian(v, b.data());
        return b.left(bytes);
    };
    const quint32 rate = 16000;
    QByteArray wav = "RIFF" + le(36 + frames * 2, 4) + "WAVEfmt " + le(16, 4) + le(1, 2) + le(1, 2) +
                     le(rate, 4) + le(rate * 2, 4) + le(2, 2) + le(16, 2) + "data" + le(frames * 2, 4);
    for (int i = 0; i < frames; ++i)
        wav += le(quint16(qint16(3000 * std::sin(2 * M_PI * 440 * i / rate))), 2);
    return wav;
}

void rescanAndWait(SessionHistoryStore& store) {
    QSignalSpy applied(&store, &SessionHistoryStore::scanApplied);
    store.rescan();
    ASSERT_TRUE(applied.wait(20000)) << "the scan result never arrived";
}

QStringList idsOf(const QList<SessionHistoryEntry>& entries) {
    QStringList ids;
    for (const SessionHistoryEntry& e : entries)
        ids << e.id;
    return ids;
}

QStringList cueTimes(const QString& path) {
    QProcess probe;
    probe.start(QStringLiteral("ffprobe"),
                {"-v", "error", "-show_entries", "packet=pts_time,duration_time", "-of", "csv=p=0", path});
    if (!probe.waitForFinished(30000) || probe.exitCode() != 0 || !probe.readAllStandardError().isEmpty())
        return {QStringLiteral("ffprobe failed on ") + path};
    return QString::fromUtf8(probe.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
}

} // namespace murmurly::test
