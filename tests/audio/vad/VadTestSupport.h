#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <mutex>
#include <string>
#include <vector>

namespace murmurly::test {

// Collects the messages of one logging category for the test's lifetime.
class LogCapture {
public:
    explicit LogCapture(const char* category);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    struct Line {
        QtMsgType type;
        std::string text;
    };
    std::vector<Line> lines() const;
    std::vector<std::string> texts(QtMsgType type) const;

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& message);
};

// Path of a file under the source tree's tests/data/vad.
QString vadDataPath(const char* name);
// The VAD model file the build installed (MURMURLY_VAD_MODEL).
QString vadModelPath();

} // namespace murmurly::test
