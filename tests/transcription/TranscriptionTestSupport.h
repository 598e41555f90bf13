#pragma once

#include "audio/AudioFileWriter.h"
#include "common/Error.h"
#include "support/FakeTranscriptionService.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QRegularExpression>
#include <QString>

#include <QCoro/QCoroTask>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <optional>

namespace murmurly::test {

// The end of a transcription call as a test sees it: the result or the error's text and type.
template <typename T>
struct CallOutcome {
    std::optional<T> value;
    std::shared_ptr<const Error> error;

    QString errorText() const { return error ? error->description() : QStringLiteral("<no error>"); }
};

template <typename T>
QCoro::Task<void> captureOutcome(QCoro::Task<T> task, CallOutcome<T>& outcome, QEventLoop& loop, bool& done) {
    try {
        outcome.value = co_await std::move(task);
    } catch (const Error& error) {
        outcome.error = error.clone();
    }
    done = true;
    loop.quit();
}

// Runs a call to its end in a nested event loop (the fake service shares this thread's loop).
template <typename T>
CallOutcome<T> runCall(QCoro::Task<T> task) {
    CallOutcome<T> outcome;
    QEventLoop loop;
    bool done = false;
    auto runner = captureOutcome(std::move(task), outcome, loop, done);
    if (!done) {
        loop.exec();
    }
    return outcome;
}

// A session-format recording (float, mono, 16 kHz) holding a tone.
inline QString writeSessionWav(const QString& path, double seconds = 1.0) {
    QFile::remove(path); // the writer never replaces a file
    auto writer = AudioFileWriter::create(path, AudioFormat::working());
    const auto frames = static_cast<std::uint32_t>(16000 * seconds);
    std::vector<float> samples(frames);
    for (std::uint32_t i = 0; i < frames; ++i) {
        samples[i] = 0.2f * static_cast<float>(std::sin(2.0 * std::numbers::pi * 330.0 * i / 16000.0));
    }
    writer->write(samples.data(), samples.size());
    writer->close();
    return path;
}

inline QString writeBytes(const QString& path, const QByteArray& bytes) {
    writeFile(path, bytes);
    return path;
}

// Names of the files in the temporary folder, to check that a call left nothing behind.
inline QStringList temporaryFiles() {
    return QDir(QDir::tempPath()).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
}

// The file part of a recorded multipart request: its file name, its type and its bytes.
struct FilePart {
    QByteArray fileName;
    QByteArray contentType;
    QByteArray content;
};
inline FilePart filePartOf(const RecordedRequest& request) {
    const QByteArray type = request.header("Content-Type").value_or("");
    const QByteArray end = "\r\n--" + type.mid(type.indexOf("boundary=") + 9) + "--\r\n";
    const QRegularExpression head(QStringLiteral("filename=\"([^\"]*)\"\r\nContent-Type: ([^\r]*)\r\n\r\n"));
    const auto match = head.match(QString::fromLatin1(request.body));
    EXPECT_TRUE(match.hasMatch() && request.body.endsWith(end));
    const qsizetype start = match.capturedEnd(0);
    return {match.captured(1).toLatin1(), match.captured(2).toLatin1(),
            request.body.mid(start, request.body.size() - end.size() - start)};
}

} // namespace murmurly::test
