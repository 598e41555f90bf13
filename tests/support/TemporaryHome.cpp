#include "support/TemporaryHome.h"

#include <QDir>

#include <cstdlib>
#include <stdexcept>

namespace murmurly::test {

TemporaryHome::TemporaryHome() {
    const char* base = std::getenv("TMPDIR");
    QByteArray pattern = QByteArray(base && *base ? base : "/tmp") + "/murmurly-test-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary home folder");
    m_path = QString::fromLocal8Bit(pattern);

    const auto set = [this](const char* name, const QString& sub) {
        const QString dir = m_path + sub;
        QDir().mkpath(dir);
        qputenv(name, QFile::encodeName(dir));
    };
    set("HOME", QStringLiteral("/home"));
    set("XDG_DATA_HOME", QStringLiteral("/home/.local/share"));
    set("XDG_CONFIG_HOME", QStringLiteral("/home/.config"));
    set("XDG_CACHE_HOME", QStringLiteral("/home/.cache"));
    set("XDG_STATE_HOME", QStringLiteral("/home/.local/state"));
    set("TMPDIR", QStringLiteral("/tmp"));
    // Keys from the developer's own environment must not leak into tests.
    qunsetenv("LEMONFOX_API_KEY");
    qunsetenv("MISTRAL_API_KEY");
}

TemporaryHome::~TemporaryHome() {
    if (qEnvironmentVariableIsEmpty("MURMURLY_KEEP_TEST_HOME"))
        QDir(m_path).removeRecursively();
}

} // namespace murmurly::test
