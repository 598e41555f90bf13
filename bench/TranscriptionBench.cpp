// Costs of getting a recording to a service, each reported against a reference measured in the
// same run:
//  - Opus encoding of a long 16 kHz session WAV, against the opusenc command-line tool at the
//    bitrate our encoder chose, as a time ratio, with the peak memory our encoder added;
//  - a 200 MB upload to the local fake Mistral service: peak RSS growth (target < 10 MB, as the
//    body is streamed from disk) and throughput, against a plain file copy of the same bytes.
// MURMURLY_BENCH_OPUS_SECONDS shortens the recording (default one hour).
#include "audio/AudioFileWriter.h"
#include "audio/OpusEncoder.h"
#include "support/FakeTranscriptionService.h"
#include "transcription/MistralTranscriber.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <cmath>
#include <cstdio>
#include <numbers>

using namespace murmurly;

namespace {

// Kilobytes of a /proc/self/status field (VmRSS, VmHWM).
long statusKb(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field)) {
            return line.mid(static_cast<qsizetype>(strlen(field)) + 1).trimmed().split(' ').value(0).toLong();
        }
    }
    return -1;
}

// The high-water mark is reset so that each measurement sees only its own peak.
void resetPeak() {
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly)) {
        clear.write("5");
    }
}

void writeSpeechLikeWav(const QString& path, int seconds) {
    auto writer = AudioFileWriter::create(path, AudioFormat::working());
    std::vector<float> block(16000);
    for (int s = 0; s < seconds; ++s) {
        for (int i = 0; i < 16000; ++i) {
            const double t = s + i / 16000.0;
            block[i] =
                static_cast<float>(0.2 * std::sin(2 * std::numbers::pi * (180 + 40 * std::sin(t)) * t) *
                                   (0.5 + 0.5 * std::sin(2 * std::numbers::pi * 3 * t)));
        }
        writer->write(block.data(), block.size());
    }
    writer->close();
}

void benchOpus(const QTemporaryDir& dir) {
    const int seconds = qEnvironmentVariableIsSet("MURMURLY_BENCH_OPUS_SECONDS")
                            ? qEnvironmentVariableIntValue("MURMURLY_BENCH_OPUS_SECONDS")
                            : 3600;
    const QString wav = dir.filePath(QStringLiteral("session.wav"));
    writeSpeechLikeWav(wav, seconds);

    resetPeak();
    const long before = statusKb("VmRSS:");
    QElapsedTimer timer;
    timer.start();
    const QString ours = OpusEncoder::encodeToOpus(wav, dir.filePath(QStringLiteral("ours.opus")));
    const double oursSeconds = timer.nsecsElapsed() / 1e9;
    const long peakGrowth = statusKb("VmHWM:") - before;
    const double bitrateKbps = QFileInfo(ours).size() * 8.0 / 1000.0 / seconds;

    QProcess opusenc;
    timer.restart();
    opusenc.start(QStringLiteral("opusenc"), {QStringLiteral("--quiet"), QStringLiteral("--bitrate"),
                                              QString::number(bitrateKbps, 'f', 1), wav,
                                              dir.filePath(QStringLiteral("reference.opus"))});
    opusenc.waitForFinished(-1);
    const double referenceSeconds = timer.nsecsElapsed() / 1e9;

    std::printf("opus: %d s of 16 kHz audio; ours %.2f s, opusenc %.2f s at %.1f kbit/s; time ratio %.2f; "
                "peak memory added %.1f MB\n",
                seconds, oursSeconds, referenceSeconds, bitrateKbps, oursSeconds / referenceSeconds,
                peakGrowth / 1024.0);
}

QCoro::Task<void> upload(MistralTranscriber& client, QString file, QString& error, QEventLoop& loop) {
    try {
        co_await client.transcribe(file, std::nullopt);
    } catch (const Error& e) {
        error = e.description();
    }
    loop.quit();
}

void benchUpload(const QTemporaryDir& dir) {
    constexpr qint64 kSize = 200LL * 1024 * 1024;
    const QString file = dir.filePath(QStringLiteral("recording.opus"));
    {
        QFile out(file);
        out.open(QIODevice::WriteOnly);
        QByteArray block(1024 * 1024, '\x5a');
        for (qint64 written = 0; written < kSize; written += block.size()) {
            out.write(block);
        }
    }

    // Reference: copying the same bytes once on the same disk.
    QElapsedTimer timer;
    timer.start();
    QFile::copy(file, dir.filePath(QStringLiteral("copy.opus")));
    const double copySeconds = timer.nsecsElapsed() / 1e9;
    QFile::remove(dir.filePath(QStringLiteral("copy.opus")));

    test::FakeTranscriptionService service(test::FakeTranscriptionService::Kind::mistral);
    service.setKeepBodies(false);
    service.listen();
    qputenv("MURMURLY_MISTRAL_BASE_URL", service.baseUrl().toString().toUtf8());
    qputenv("MISTRAL_API_KEY", "bench");
    MistralTranscriber client;

    resetPeak();
    const long before = statusKb("VmRSS:");
    QString error;
    QEventLoop loop;
    timer.restart();
    auto task = upload(client, file, error, loop);
    loop.exec();
    const double uploadSeconds = timer.nsecsElapsed() / 1e9;
    const long peakGrowth = statusKb("VmHWM:") - before;

    const double megabytes = kSize / 1048576.0;
    std::printf(
        "upload: 200 MB %s; %.2f s, %.0f MB/s (body written to disk and sent); peak RSS growth %.1f MB "
        "(target < 10); time vs one file copy %.1fx\n",
        error.isEmpty() ? "accepted" : qPrintable(error), uploadSeconds, megabytes / uploadSeconds,
        peakGrowth / 1024.0, uploadSeconds / copySeconds);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    qputenv("TMPDIR", dir.path().toUtf8());
    benchUpload(dir);
    benchOpus(dir);
    return 0;
}
