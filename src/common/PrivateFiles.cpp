#include "common/PrivateFiles.h"

#include <QDir>
#include <QFile>
#include <QFileDevice>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace murmurly {

bool PrivateFiles::makeDirectory(const QString& path) {
    if (QFileInfo(path).isDir()) {
        return true;
    }
    const QString parent = QFileInfo(path).absolutePath();
    if (!QFileInfo(parent).isDir() && !QDir().mkpath(parent)) {
        return false;
    }
    // mkdir with the mode itself, so the folder is never open to others, not even for a moment.
    if (::mkdir(QFile::encodeName(path).constData(), 0700) == 0) {
        return true;
    }
    return QFileInfo(path).isDir(); // made by someone else in the meantime
}

bool PrivateFiles::createExclusively(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

void PrivateFiles::restrictToOwner(QFileDevice& file) {
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

} // namespace murmurly
