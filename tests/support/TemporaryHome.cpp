#include "support/TemporaryHome.h"

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace murmurly::test {

namespace {

// Each variable and its folder under the temporary one.
const std::pair<const char*, const char*> kFolders[] = {
    {"HOME", "/home"},
    {"XDG_DATA_HOME", "/home/.local/share"},
    {"XDG_CONFIG_HOME", "/home/.config"},
    {"XDG_CACHE_HOME", "/home/.cache"},
    {"XDG_STATE_HOME", "/home/.local/state"},
    {"TMPDIR", "/tmp"},
};

std::vector<std::function<void()>>& resets() {
    static std::vector<std::function<void()>> hooks;
    return hooks;
}

class IsolatingListener : public ::testing::EmptyTestEventListener {
public:
    explicit IsolatingListener(TemporaryHome& home)
        : m_home(home)
        , m_environment(QProcessEnvironment::systemEnvironment()) {}

    void OnTestStart(const ::testing::TestInfo&) override {
        // The environment as it was saved: variables added since are removed.
        for (const QString& name : QProcessEnvironment::systemEnvironment().keys()) {
            if (!m_environment.contains(name))
                qunsetenv(name.toLocal8Bit().constData());
        }
        for (const QString& name : m_environment.keys())
            qputenv(name.toLocal8Bit().constData(), m_environment.value(name).toLocal8Bit());
        m_home.empty();
        for (const auto& reset : resets()) {
            reset();
        }
    }

private:
    TemporaryHome& m_home;
    const QProcessEnvironment m_environment;
};

} // namespace

TemporaryHome::TemporaryHome() {
    const char* base = std::getenv("TMPDIR");
    QByteArray pattern = QByteArray(base && *base ? base : "/tmp") + "/murmurly-test-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary home folder");
    m_path = QString::fromLocal8Bit(pattern);
    createFolders();
    for (const auto& [variable, relative] : kFolders) {
        qputenv(variable, QFile::encodeName(m_path + QLatin1String(relative)));
    }
    // Keys from the developer's own environment must not leak into tests.
    qunsetenv("LEMONFOX_API_KEY");
    qunsetenv("MISTRAL_API_KEY");
}

TemporaryHome::~TemporaryHome() {
    if (qEnvironmentVariableIsEmpty("MURMURLY_KEEP_TEST_HOME"))
        QDir(m_path).removeRecursively();
}

void TemporaryHome::empty() {
    QDir folder(m_path);
    for (const QString& name :
         folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        const QString path = folder.filePath(name);
        if (!QDir(path).removeRecursively())
            QFile::remove(path);
    }
    createFolders();
}

void TemporaryHome::createFolders() {
    for (const auto& folder : kFolders) {
        QDir().mkpath(m_path + QLatin1String(folder.second));
    }
}

void isolateEachTest(TemporaryHome& home) {
    ::testing::UnitTest::GetInstance()->listeners().Append(new IsolatingListener(home));
}

void resetBeforeEachTest(std::function<void()> reset) {
    resets().push_back(std::move(reset));
}

} // namespace murmurly::test
