#include "AppTestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>
#include <QWidget>

namespace murmurly::test {

void saveScreenshot(QWidget& widget, const QString& name) {
    QString root = qEnvironmentVariable("MURMURLY_BUILD_DIR");
    if (root.isEmpty())
        root = QDir::currentPath();
    const QString dir = root + QStringLiteral("/screenshots");
    QDir().mkpath(dir);
    widget.ensurePolished();
    // Let the layouts settle (a scroll bar that a first pass showed is hidden by the next one).
    QCoreApplication::processEvents();
    // Runs at QT_SCALE_FACTOR=2 keep their pictures beside the 1x ones.
    const QString scale = widget.devicePixelRatioF() > 1.0 ? QStringLiteral("@2x") : QString();
    widget.grab().save(dir + QLatin1Char('/') + name + scale + QStringLiteral(".png"));
}

QString appFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Murmurly");
}

QString transcriptsFolder() {
    return appFolder() + QStringLiteral("/transcripts");
}

} // namespace murmurly::test
