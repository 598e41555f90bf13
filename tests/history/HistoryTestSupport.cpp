#include "HistoryTestSupport.h"

#include "pipeline/SessionStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cmath>

namespace murmurly::test {

QString appFolder() {
    return SessionStore::appSupportDirectory();
}

QString transcriptsFolder() {
    return SessionStore::transcriptsDirectory();
}

QString inApp(const QString& name) {
    return QDir(appFolder()).filePath(name);
}

QString inTranscripts(const QString& name) {
    return QDir(transcriptsFolder()).filePath(name);
}

QString writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        ADD_FAILURE() << "cannot write " << path.toStdString();
    return path;
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void setModified(const QString& path, const QDateTime& when) {
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite) || !file.setFileTime(when, QFileDevice::FileModificationTime))
        ADD_FAILURE() << "cannot set the time of " << path.toStdString();
}

QByteArray wavFile(int frames) {
    const auto le32 = [](quint32 v) {
        QByteArray b(4, '\0');
        qToLittleEndian(v, b.data());
        return b;
    };
    const auto le16 = [](quint16 v) {
        QByteArray b(2, '\0');
        qToLittleEndian(v, b.data());
        return b;
    };
    const quint32 rate = 16000;
    const quint32 dataBytes = quint32(frames) * 2;
    QByteArray wav = "RIFF" + le32(36 + dataBytes) + "WAVE" + "fmt " + le32(16) + le16(1) + le16(1) +
                     le32(rate) + le32(rate * 2) + le16(2) + le16(16) + "data" + le32(dataBytes);
    for (int i = 0; i < frames; ++i)
        wav += le16(quint16(qint16(3000 * std::sin(2 * M_PI * 440 * i / rate))));
    return wav;
}

void rescanAndWait(SessionHistoryStore& store) {
    QSignalSpy applied(&store, &SessionHistoryStore::scanApplied);
    store.rescan();
    ASSERT_TRUE(applied.wait(20000)) << "the scan result never arrived";
}

} // namespace murmurly::test
