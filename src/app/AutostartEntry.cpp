#include "app/AutostartEntry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace murmurly {

namespace {
const char* const programName = "murmurly";
} // namespace

QString AutostartEntry::path() {
    return QStandardPaths::writableLocation(QStandardPaths::ConfigLocation) +
           QStringLiteral("/autostart/com.murmurly.Murmurly.desktop");
}

bool AutostartEntry::isEnabled() {
    return QFileInfo(path()).isFile();
}

QString AutostartEntry::execLine() {
    const QString running = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath();
    const QString onPath = QStandardPaths::findExecutable(QString::fromLatin1(programName));
    if (!onPath.isEmpty() && QFileInfo(onPath).canonicalFilePath() == running)
        return QStringLiteral("murmurly --hidden");
    // Desktop entries quote arguments with double quotes; inside them \, ", ` and $ are escaped.
    QString quoted = running;
    for (const QChar special : {QLatin1Char('\\'), QLatin1Char('"'), QLatin1Char('`'), QLatin1Char('$')})
        quoted.replace(special, QStringLiteral("\\") + special);
    // The value's own escaping comes on top: every backslash is written twice.
    quoted.replace(QStringLiteral("\\"), QStringLiteral("\\\\"));
    return QStringLiteral("\"%1\" --hidden").arg(quoted);
}

bool AutostartEntry::setEnabled(bool enabled) {
    const QString file = path();
    if (!enabled)
        return !QFileInfo::exists(file) || QFile::remove(file);
    if (!QDir().mkpath(QFileInfo(file).absolutePath()))
        return false;
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Murmurly\n"
                                         "Comment=Records and transcribes calls and meetings\n"
                                         "Exec=%1\n"
                                         "Icon=com.murmurly.Murmurly\n"
                                         "Terminal=false\n"
                                         "X-GNOME-Autostart-enabled=true\n")
                              .arg(execLine());
    QSaveFile save(file);
    if (!save.open(QIODevice::WriteOnly))
        return false;
    const QByteArray bytes = entry.toUtf8();
    if (save.write(bytes) != bytes.size()) {
        save.cancelWriting();
        return false;
    }
    return save.commit();
}

} // namespace murmurly
