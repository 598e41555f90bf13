#pragma once

#include <QByteArray>
#include <QString>

namespace murmurly::test {

// Points HOME, the XDG folders and TMPDIR at a fresh private folder for the life of the object,
// so that no test reads or writes the real user's files. Restores nothing: one per process.
class TemporaryHome {
public:
    TemporaryHome();
    ~TemporaryHome();
    TemporaryHome(const TemporaryHome&) = delete;
    TemporaryHome& operator=(const TemporaryHome&) = delete;

    QString path() const { return m_path; }

private:
    QString m_path;
};

} // namespace murmurly::test
