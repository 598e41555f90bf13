#include "audio/vad/VadTestSupport.h"

namespace murmurly::test {

namespace {
std::mutex captureMutex;
const char* capturedCategory = nullptr;
std::vector<LogCapture::Line> captured;
QtMessageHandler previousHandler = nullptr;
} // namespace

LogCapture::LogCapture(const char* category) {
    std::lock_guard lock(captureMutex);
    capturedCategory = category;
    captured.clear();
    previousHandler = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture() {
    qInstallMessageHandler(previousHandler);
    std::lock_guard lock(captureMutex);
    capturedCategory = nullptr;
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    {
        std::lock_guard lock(captureMutex);
        if (capturedCategory && context.category && qstrcmp(context.category, capturedCategory) == 0) {
            captured.push_back({type, message.toStdString()});
        }
    }
    if (previousHandler) {
        previousHandler(type, context, message);
    }
}

std::vector<LogCapture::Line> LogCapture::lines() const {
    std::lock_guard lock(captureMutex);
    return captured;
}

std::vector<std::string> LogCapture::texts(QtMsgType type) const {
    std::vector<std::string> result;
    for (const auto& line : lines()) {
        if (line.type == type) {
            result.push_back(line.text);
        }
    }
    return result;
}

QString vadDataPath(const char* name) {
    return qEnvironmentVariable("MURMURLY_SOURCE_DIR") + QStringLiteral("/tests/data/vad/") +
           QLatin1String(name);
}

QString vadModelPath() {
    return qEnvironmentVariable("MURMURLY_VAD_MODEL");
}

} // namespace murmurly::test
