#pragma once

#include "audio/AudioFileWriter.h"
#include "common/Error.h"
#include "support/FakeTranscriptionService.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QString>
#include <QTimer>

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
    template <typename E>
    const E* errorAs() const {
        return dynamic_cast<const E*>(error.get());
    }
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
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
    return path;
}

// A file of the given size that takes no disk space: only its length matters to the size checks.
inline QString writeSparse(const QString& path, qint64 size) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    EXPECT_TRUE(file.resize(size));
    return path;
}

// Names of the files in the temporary folder, to check that a call left nothing behind.
inline QStringList temporaryFiles() {
    return QDir(QDir::tempPath()).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
}

// Splits a recorded multipart body at its boundary lines, as a service would.
struct MultipartPart {
    QByteArray headers;
    QByteArray content;
};
inline QList<MultipartPart> splitMultipart(const QByteArray& body, const QByteArray& boundary) {
    QList<MultipartPart> parts;
    const QByteArray delimiter = "--" + boundary;
    qsizetype at = body.indexOf(delimiter);
    while (at >= 0) {
        const qsizetype start = at + delimiter.size();
        if (body.mid(start, 2) == "--") {
            break;
        }
        const qsizetype next = body.indexOf(QByteArray("\r\n" + delimiter), start);
        if (next < 0) {
            break;
        }
        const QByteArray part = body.mid(start + 2, next - start - 2);
        const qsizetype split = part.indexOf("\r\n\r\n");
        parts.append({part.left(split), part.mid(split + 4)});
        at = next + 2;
    }
    return parts;
}

} // namespace murmurly::test
