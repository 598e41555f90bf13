#include "audio/vad/VADModelLocation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace murmurly::VADModelLocation {

namespace {

QString executableDirectory() {
    if (QCoreApplication::instance()) {
        return QCoreApplication::applicationDirPath();
    }
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath().section(QLatin1Char('/'), 0, -2);
}

} // namespace

QStringList candidates() {
    const QString overridden = qEnvironmentVariable(environmentVariable);
    if (!overridden.isEmpty()) {
        return {overridden};
    }
    const QString relative = QStringLiteral("share/murmurly/") + QLatin1String(fileName);
    QStringList paths;
    const QString executable = executableDirectory();
    if (!executable.isEmpty()) {
        paths << QDir::cleanPath(executable + QStringLiteral("/../") + relative);
    }
    paths << QStringLiteral("/usr/") + relative << QStringLiteral("/usr/local/") + relative;
    return paths;
}

QString resolve() {
    for (const QString& path : candidates()) {
        if (QFileInfo(path).isFile()) {
            return path;
        }
    }
    return {};
}

} // namespace murmurly::VADModelLocation
