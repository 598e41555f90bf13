#pragma once

#include <QString>
#include <QtGlobal>

#include <map>
#include <string>
#include <vector>

namespace murmurly::test {

// Collects the messages of one logging category (logged on the test's thread) while it lives.
class LogCapture {
public:
    explicit LogCapture(const char* category) {
        s_category = category;
        s_lines.clear();
        s_previous = qInstallMessageHandler(&handler);
    }
    ~LogCapture() { qInstallMessageHandler(s_previous); }

    std::vector<std::string> texts(QtMsgType type) const { return s_lines[type]; }

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
        if (context.category && qstrcmp(context.category, s_category) == 0)
            s_lines[type].push_back(message.toStdString());
        if (s_previous)
            s_previous(type, context, message);
    }
    static inline const char* s_category = nullptr;
    static inline std::map<QtMsgType, std::vector<std::string>> s_lines;
    static inline QtMessageHandler s_previous = nullptr;
};

// A file under the source tree's tests/data/vad, and the model the build installed.
inline QString vadDataPath(const char* name) {
    return qEnvironmentVariable("MURMURLY_SOURCE_DIR") + QStringLiteral("/tests/data/vad/") +
           QLatin1String(name);
}
inline QString vadModelPath() {
    return qEnvironmentVariable("MURMURLY_VAD_MODEL");
}

} // namespace murmurly::test
