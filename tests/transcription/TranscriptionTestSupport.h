#pragma once

#include "audio/AudioFileWriter.h"
#include "common/Error.h"
#include "support/FakeTranscriptionService.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
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

// Runs a call to its end in a nested event loop (the fake service shares this thread's loop).
template <typename T>
CallOutcome<T> runCall(QCoro::Task<T> task) {
    return QCoro::waitFor([](QCoro::Task<T> call) -> QCoro::Task<CallOutcome<T>> {
        CallOutcome<T> outcome;
        try {
            outcome.value = co_await std::move(call);
        } catch (const Error& error) {
            outcome.error = error.clone();
        }
        co_return outcome;
    }(std::move(task)));
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

// The same file as a crash leaves it: RIFF and data sizes still describe an empty recording.
inline QString breakWavHeader(const QString& path) {
    QByteArray bytes = readFile(path);
    for (const qsizetype at : {qsizetype(4), bytes.indexOf("data") + 4}) {
        bytes.replace(at, 4, QByteArray(4, '\0'));
    }
    writeFile(path, bytes);
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

} // namespace murmurly::test
