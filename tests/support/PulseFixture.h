#pragma once

#include <QString>
#include <QStringList>

#include <memory>

class QProcess;

namespace murmurly::test {

// Drives the private sound server of the test's ctest fixture, PulseAudio or PipeWire (see
// pulse_fixture.cmake), from a test: its address comes from PULSE_SERVER, which the fixture sets.
// The same calls work on both; "the daemon" below means all of the server's processes.
//
// Everything here runs real programs (pactl, paplay, espeak-ng, the fixture script) and waits for
// them; a failure returns false and leaves the reason in lastError().
class PulseFixture {
public:
    // True when the test runs under the fixture (PULSE_SERVER points at its socket).
    static bool isAvailable() { return !directory().isEmpty(); }
    // The daemon's folder (its socket is directory()/native).
    static QString directory();
    static QString lastError();

    // Stops the daemon (if it runs) and starts a fresh one: two null sinks, default sink
    // "speakers", default source "mic_in.monitor". Use it before a test that changes the server.
    static bool restart() { return runScript(QStringLiteral("start")); }
    // Kills the daemon with SIGKILL, as a crash would.
    static bool kill() { return runScript(QStringLiteral("kill")); }
    // Starts the daemon again after kill(); same as restart().
    static bool start() { return restart(); }
    // Suspends the daemon (it still accepts connections but answers nothing) or lets it go on.
    static bool freeze() { return runScript(QStringLiteral("freeze")); }
    static bool thaw() { return runScript(QStringLiteral("thaw")); }

    // Writes `text` spoken by espeak-ng to a WAV file at `path`.
    static bool speak(const QString& text, const QString& path);
    // Plays a sound file into `sink` and waits until it has been played.
    static bool play(const QString& path, const QString& sink = QStringLiteral("speakers"));
    // Starts playing and returns at once; the process ends when the file has been played.
    static std::unique_ptr<QProcess> startPlaying(const QString& path,
                                                  const QString& sink = QStringLiteral("speakers"));

    // Runs pactl with `arguments`; its standard output goes to `output`.
    static bool pactl(const QStringList& arguments, QString* output = nullptr) {
        return run(QStringLiteral("pactl"), arguments, output);
    }
    // Loads another null sink; returns its module index, or -1.
    static int loadNullSink(const QString& name);
    static bool setDefaultSink(const QString& name);
    // The sample rate of a source as the server reports it (PulseAudio's null sinks run at
    // 44.1 kHz, PipeWire's at 48 kHz), or 0.
    static double sourceRate(const QString& name);
    // Names of the sources that record streams (source outputs) currently record from, one entry
    // per stream: shows where a capture actually is.
    static QStringList recordingSources();

private:
    static bool runScript(const QString& command);
    static bool run(const QString& program, const QStringList& arguments, QString* output = nullptr);
};

} // namespace murmurly::test
