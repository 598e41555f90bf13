#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>
#include <QWidget>

namespace murmurly::test {

// What the local stand-in for Lemonfox answers by default, as the transcript shows it.
inline const QString kServiceTranscript =
    QStringLiteral("[00:00] SPEAKER_00: Hello there.\n[00:01] SPEAKER_01: General Kenobi.\n");

// Saves a picture of `widget` as <build>/screenshots/<name>.png (<name>@2x.png when drawn at twice
// the scale) for a person to look at.
inline void saveScreenshot(QWidget& widget, const QString& name) {
    const QString root = qEnvironmentVariable("MURMURLY_BUILD_DIR", QDir::currentPath());
    QDir().mkpath(root + QStringLiteral("/screenshots"));
    widget.ensurePolished();
    // Let the layouts settle (a scroll bar that a first pass showed is hidden by the next one).
    QCoreApplication::processEvents();
    const QString scale = widget.devicePixelRatioF() > 1.0 ? QStringLiteral("@2x") : QString();
    widget.grab().save(root + QStringLiteral("/screenshots/") + name + scale + QStringLiteral(".png"));
}

// Where the application keeps its recordings and its transcripts.
inline QString appFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Murmurly");
}
inline QString transcriptsFolder() {
    return appFolder() + QStringLiteral("/transcripts");
}
// Recordings and imports, finished or not, leave nothing else in the application folder.
inline QStringList recordingsLeft() {
    return QDir(appFolder()).entryList({QStringLiteral("*.wav"), QStringLiteral("*.part")}, QDir::Files);
}

} // namespace murmurly::test
