#include "support/TemporaryHome.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace murmurly::test {

namespace {

struct Folder {
    const char* variable;
    const char* relative;
};
const Folder kFolders[] = {
    {"HOME", "/home"},
    {"XDG_DATA_HOME", "/home/.local/share"},
    {"XDG_CONFIG_HOME", "/home/.config"},
    {"XDG_CACHE_HOME", "/home/.cache"},
    {"XDG_STATE_HOME", "/home/.local/state"},
    {"TMPDIR", "/tmp"},
};

using Environment = std::map<std::string, std::string>;

Environment currentEnvironment() {
    Environment variables;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const auto equals = text.find('=');
        if (equals != std::string::npos) {
            variables.emplace(text.substr(0, equals), text.substr(equals + 1));
        }
    }
    return variables;
}

void restoreEnvironment(const Environment& saved) {
    for (const auto& [name, value] : currentEnvironment()) {
        if (saved.find(name) == saved.end()) {
            unsetenv(name.c_str());
        }
    }
    for (const auto& [name, value] : saved) {
        setenv(name.c_str(), value.c_str(), 1);
    }
}

std::vector<std::function<void()>>& resets() {
    static std::vector<std::function<void()>> hooks;
    return hooks;
}

class IsolatingListener : public ::testing::EmptyTestEventListener {
public:
    explicit IsolatingListener(TemporaryHome& home)
        : m_home(home)
        , m_environment(currentEnvironment()) {}

    void OnTestStart(const ::testing::TestInfo&) override {
        restoreEnvironment(m_environment);
        m_home.empty();
        for (const auto& reset : resets()) {
            reset();
        }
    }

private:
    TemporaryHome& m_home;
    const Environment m_environment;
};

} // namespace

TemporaryHome::TemporaryHome() {
    const char* base = std::getenv("TMPDIR");
    QByteArray pattern = QByteArray(base && *base ? base : "/tmp") + "/murmurly-test-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary home folder");
    m_path = QString::fromLocal8Bit(pattern);
    createFolders();
    for (const Folder& folder : kFolders) {
        qputenv(folder.variable, QFile::encodeName(m_path + QLatin1String(folder.relative)));
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
    for (const Folder& folder : kFolders) {
        QDir().mkpath(m_path + QLatin1String(folder.relative));
    }
}

void isolateEachTest(TemporaryHome& home) {
    ::testing::UnitTest::GetInstance()->listeners().Append(new IsolatingListener(home));
}

void resetBeforeEachTest(std::function<void()> reset) {
    resets().push_back(std::move(reset));
}

} // namespace murmurly::test
