// Records two-source audio through the real murmurly program and reports what it costs.
//
// The sound server's null sinks run on the wall clock, so the audio cannot be fed faster than real
// time through the whole program: this is a real-time run, 60 s by default (--seconds N; 600 for
// the full ten minutes), whose CPU time is scaled per minute of audio. The same run measures two
// references over the same stretch of time: an idle Murmurly (same binary, not recording) and two
// parec processes that do nothing but receive the same two streams from the sound server, in
// fragments of the size the program asks for (50 ms), so that both are woken as often.
//
//   bench_app [--seconds N] [--binary path/to/murmurly]
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <functional>
#include <optional>

#include <unistd.h>

namespace {

struct Usage {
    double cpuSeconds = 0; // user + system
    double peakRssMB = 0;  // VmHWM
};

std::optional<Usage> usageOf(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!stat.open(QIODevice::ReadOnly) || !status.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray line = stat.readAll();
    // The command name may contain spaces; the fields after it start with the state (field 3).
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return std::nullopt;
    const double ticks = double(sysconf(_SC_CLK_TCK));
    Usage usage;
    usage.cpuSeconds = (fields[11].toDouble() + fields[12].toDouble()) / ticks;
    for (const QByteArray& entry : status.readAll().split('\n')) {
        if (entry.startsWith("VmHWM:"))
            usage.peakRssMB = entry.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return usage;
}

// What one thread name (threads of one name summed) has cost so far: CPU seconds, and how often
// its threads went to sleep and were woken again. On a desktop the wake-ups are what recording
// costs, and unlike the CPU time they do not vary with how busy the machine is.
struct ThreadCost {
    double cpuSeconds = 0;
    double wakeUps = 0;
};

QMap<QString, ThreadCost> threadCosts(qint64 pid) {
    QMap<QString, ThreadCost> costs;
    const double ticks = double(sysconf(_SC_CLK_TCK));
    const QString taskDir = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString& tid : QDir(taskDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(taskDir + QLatin1Char('/') + tid + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const qsizetype open = line.indexOf('(');
        const qsizetype close = line.lastIndexOf(')');
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        if (open < 0 || close < open || fields.size() < 13)
            continue;
        const QString name = QString::fromUtf8(line.mid(open + 1, close - open - 1));
        costs[name].cpuSeconds += (fields[11].toDouble() + fields[12].toDouble()) / ticks;
        QFile status(taskDir + QLatin1Char('/') + tid + QStringLiteral("/status"));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& entry : status.readAll().split('\n')) {
            if (entry.startsWith("voluntary_ctxt_switches:"))
                costs[name].wakeUps += entry.mid(24).trimmed().toDouble();
        }
    }
    return costs;
}

double wakeUpsOf(qint64 pid) {
    double total = 0;
    for (const ThreadCost& cost : threadCosts(pid))
        total += cost.wakeUps;
    return total;
}

bool run(const QString& program, const QStringList& arguments, const QProcessEnvironment& env = {}) {
    QProcess process;
    if (!env.isEmpty())
        process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program, arguments);
    return process.waitForFinished(600000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents();
        QThread::msleep(50);
    }
    return true;
}

// One Murmurly with a home and runtime folder of its own, so that two can run side by side.
struct Instance {
    QString home;
    QProcessEnvironment env;
    QProcess process;

    Instance(const QString& root, const QString& pulseServer) {
        home = root;
        env = QProcessEnvironment::systemEnvironment();
        for (const auto& [name, sub] : {std::pair{"HOME", ""},
                                        {"XDG_DATA_HOME", "/.local/share"},
                                        {"XDG_CONFIG_HOME", "/.config"},
                                        {"XDG_CACHE_HOME", "/.cache"},
                                        {"XDG_RUNTIME_DIR", "/runtime"},
                                        {"TMPDIR", "/tmp"}}) {
            QDir().mkpath(root + QString::fromLatin1(sub));
            env.insert(QString::fromLatin1(name), root + QString::fromLatin1(sub));
        }
        QFile::setPermissions(root + QStringLiteral("/runtime"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        env.insert(QStringLiteral("PULSE_SERVER"), pulseServer);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=false;*.info=false"));
        if (!env.contains(QStringLiteral("MURMURLY_VAD_MODEL")))
            env.insert(QStringLiteral("MURMURLY_VAD_MODEL"), QStringLiteral(MURMURLY_BENCH_MODEL_PATH));
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    }

    bool start(const QString& binary, const QStringList& arguments) {
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.start(binary, arguments);
        if (!process.waitForStarted(10000))
            return false;
        // Up once it answers on its instance socket.
        const QString socket = home + QStringLiteral("/runtime/murmurly.socket");
        return waitFor(
            [&] {
                QLocalSocket probe;
                probe.connectToServer(socket);
                return probe.waitForConnected(200);
            },
            30000);
    }

    bool isRecording() const {
        return QFileInfo::exists(home + QStringLiteral("/.local/share/Murmurly/pending_session.json"));
    }

    ~Instance() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
};

int fail(const char* what) {
    std::fprintf(stderr, "bench_app: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    int seconds = 60;
    QString binary = QCoreApplication::applicationDirPath() + QStringLiteral("/murmurly");
    for (qsizetype i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == QStringLiteral("--seconds"))
            seconds = std::max(10, args[i + 1].toInt());
        if (args[i] == QStringLiteral("--binary"))
            binary = args[i + 1];
    }
    if (!QFileInfo(binary).isExecutable())
        return fail("the murmurly binary was not found (build the murmurly target or pass --binary)");

    QTemporaryDir scratch;
    if (!scratch.isValid())
        return fail("cannot create a scratch folder");
    const QString pulseDir = scratch.filePath(QStringLiteral("pulse"));
    const QString script = QStringLiteral(MURMURLY_BENCH_FIXTURE_SCRIPT);
    if (!run(script, {QStringLiteral("start"), pulseDir}))
        return fail("cannot start a private PulseAudio daemon");
    struct StopDaemon {
        QString script, dir;
        ~StopDaemon() { run(script, {QStringLiteral("stop"), dir}); }
    } stopDaemon{script, pulseDir};
    const QString pulseServer = QStringLiteral("unix:") + pulseDir + QStringLiteral("/native");

    // Two sources of speech with pauses, N seconds each: a voice on the microphone, another voice
    // over a little noise as the far end of a call.
    std::printf("Preparing %d s of two-source audio...\n", seconds);
    std::fflush(stdout);
    const QString micVoice = scratch.filePath(QStringLiteral("mic-voice.wav"));
    const QString systemVoice = scratch.filePath(QStringLiteral("system-voice.wav"));
    const QString micFile = scratch.filePath(QStringLiteral("mic.wav"));
    const QString systemFile = scratch.filePath(QStringLiteral("system.wav"));
    if (!run(QStringLiteral("espeak-ng"),
             {QStringLiteral("-w"), micVoice,
              QStringLiteral("Good morning. Let us go through the plan for this week, one item at a time, "
                             "and note every open question before we decide anything.")}) ||
        !run(QStringLiteral("espeak-ng"),
             {QStringLiteral("-v"), QStringLiteral("en-gb"), QStringLiteral("-w"), systemVoice,
              QStringLiteral("Thanks. I can hear you well. The release is planned for Friday, "
                             "and the tests are green on every machine.")}))
        return fail("espeak-ng failed");
    const QString duration = QString::number(seconds);
    const QString systemLoop = scratch.filePath(QStringLiteral("system-loop.wav"));
    const QString noise = scratch.filePath(QStringLiteral("noise.wav"));
    const QString sox = QStringLiteral("sox");
    if (!run(sox, {micVoice, QStringLiteral("-r"), QStringLiteral("48000"), micFile, QStringLiteral("pad"),
                   QStringLiteral("0"), QStringLiteral("3"), QStringLiteral("repeat"), QStringLiteral("-"),
                   QStringLiteral("trim"), QStringLiteral("0"), duration}) ||
        !run(sox, {systemVoice, QStringLiteral("-r"), QStringLiteral("44100"), systemLoop,
                   QStringLiteral("pad"), QStringLiteral("2"), QStringLiteral("0"), QStringLiteral("repeat"),
                   QStringLiteral("-"), QStringLiteral("trim"), QStringLiteral("0"), duration}) ||
        !run(sox, {QStringLiteral("-n"), QStringLiteral("-r"), QStringLiteral("44100"), QStringLiteral("-c"),
                   QStringLiteral("1"), noise, QStringLiteral("synth"), duration, QStringLiteral("pinknoise"),
                   QStringLiteral("vol"), QStringLiteral("0.02")}) ||
        !run(sox, {QStringLiteral("-m"), systemLoop, noise, systemFile}))
        return fail("sox failed to prepare the audio");

    Instance recording(scratch.filePath(QStringLiteral("recording")), pulseServer);
    Instance idle(scratch.filePath(QStringLiteral("idle")), pulseServer);
    if (!idle.start(binary, {}))
        return fail("the idle murmurly did not come up");
    if (!recording.start(binary, {QStringLiteral("--toggle")}) ||
        !waitFor([&] { return recording.isRecording(); }, 30000))
        return fail("the recording murmurly did not start recording");
    // Let start-up work (model load, first connections) settle before the measured stretch.
    QThread::sleep(2);

    QList<QProcess*> captures;
    for (const char* source : {"mic_in.monitor", "speakers.monitor"}) {
        auto* parec = new QProcess(&app);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PULSE_SERVER"), pulseServer);
        parec->setProcessEnvironment(env);
        parec->setStandardOutputFile(QProcess::nullDevice());
        parec->start(QStringLiteral("parec"),
                     {QStringLiteral("--device=") + QString::fromLatin1(source),
                      QStringLiteral("--format=float32le"), QStringLiteral("--channels=1"),
                      QStringLiteral("--rate=44100"), QStringLiteral("--latency-msec=50")});
        if (!parec->waitForStarted(5000))
            return fail("parec did not start");
        captures.append(parec);
    }
    QThread::msleep(500);

    const auto threads0 = threadCosts(recording.process.processId());
    const auto recording0 = usageOf(recording.process.processId());
    const auto idle0 = usageOf(idle.process.processId());
    std::optional<Usage> capture0[2] = {usageOf(captures[0]->processId()), usageOf(captures[1]->processId())};
    const double captureWakeUps0 = wakeUpsOf(captures[0]->processId()) + wakeUpsOf(captures[1]->processId());
    if (!recording0 || !idle0 || !capture0[0] || !capture0[1])
        return fail("cannot read /proc for a measured process");

    std::printf("Playing %d s into both sinks (real time)...\n", seconds);
    std::fflush(stdout);
    QElapsedTimer wall;
    wall.start();
    QProcessEnvironment playEnv = QProcessEnvironment::systemEnvironment();
    playEnv.insert(QStringLiteral("PULSE_SERVER"), pulseServer);
    QProcess mic;
    QProcess system;
    mic.setProcessEnvironment(playEnv);
    system.setProcessEnvironment(playEnv);
    mic.start(QStringLiteral("paplay"), {QStringLiteral("--device=mic_in"), micFile});
    system.start(QStringLiteral("paplay"), {QStringLiteral("--device=speakers"), systemFile});
    if (!mic.waitForFinished(seconds * 2000 + 30000) || !system.waitForFinished(30000))
        return fail("paplay did not finish");
    const double elapsed = double(wall.elapsed()) / 1000.0;

    const auto recording1 = usageOf(recording.process.processId());
    const auto threads1 = threadCosts(recording.process.processId());
    const auto idle1 = usageOf(idle.process.processId());
    std::optional<Usage> capture1[2] = {usageOf(captures[0]->processId()), usageOf(captures[1]->processId())};
    const double captureWakeUps =
        wakeUpsOf(captures[0]->processId()) + wakeUpsOf(captures[1]->processId()) - captureWakeUps0;
    if (!recording1 || !idle1 || !capture1[0] || !capture1[1])
        return fail("a measured process ended early");
    if (!recording.isRecording())
        return fail("the recording stopped before the end");
    for (QProcess* parec : captures) {
        parec->kill();
        parec->waitForFinished(5000);
    }

    const double minutes = elapsed / 60.0;
    const double recordingCpu = recording1->cpuSeconds - recording0->cpuSeconds;
    const double idleCpu = idle1->cpuSeconds - idle0->cpuSeconds;
    const double captureCpu = (capture1[0]->cpuSeconds - capture0[0]->cpuSeconds) +
                              (capture1[1]->cpuSeconds - capture0[1]->cpuSeconds);
    const auto core = [&](double cpu) { return 100.0 * cpu / elapsed; };

    std::printf(
        "\nReal-time run: %.1f s of two-source audio (mic 48 kHz + system 44.1 kHz), scaled per minute.\n",
        elapsed);
    std::printf("%-34s %12s %14s %14s %12s\n", "", "CPU s", "CPU s / min", "% of one core", "peak RSS MB");
    std::printf("%-34s %12.2f %14.3f %14.3f %12.1f\n", "murmurly recording", recordingCpu,
                recordingCpu / minutes, core(recordingCpu), recording1->peakRssMB);
    std::printf("%-34s %12.2f %14.3f %14.3f %12.1f\n", "murmurly idle (reference)", idleCpu,
                idleCpu / minutes, core(idleCpu), idle1->peakRssMB);
    std::printf("%-34s %12.2f %14.3f %14.3f %12s\n", "parec x2, bare capture (reference)", captureCpu,
                captureCpu / minutes, core(captureCpu), "-");
    std::printf("\nRatios: recording CPU / bare capture CPU = %.2f; recording RSS / idle RSS = %.2f; ",
                captureCpu > 0 ? recordingCpu / captureCpu : 0.0,
                idle1->peakRssMB > 0 ? recording1->peakRssMB / idle1->peakRssMB : 0.0);
    if (idleCpu > 0)
        std::printf("recording CPU / idle CPU = %.1f\n", recordingCpu / idleCpu);
    else
        std::printf("the idle instance used no measurable CPU (under one clock tick)\n");
    std::printf("Recording murmurly by thread (%% of one core, wake-ups per second):");
    double wakeUps = 0;
    for (auto it = threads1.cbegin(); it != threads1.cend(); ++it) {
        const ThreadCost before = threads0.value(it.key());
        const double perSecond = (it.value().wakeUps - before.wakeUps) / elapsed;
        wakeUps += perSecond;
        std::printf(" %s %.3f %.1f;", qPrintable(it.key()), core(it.value().cpuSeconds - before.cpuSeconds),
                    perSecond);
    }
    std::printf("\nWake-ups per second, all threads: %.1f (parec x2: %.1f)\n", wakeUps,
                captureWakeUps / elapsed);
    // What one wake-up costs varies several-fold on a virtual machine with how busy its host and its
    // other processors are; the bare captures, woken as often in the same run, show by how much.
    if (wakeUps > 0 && captureWakeUps > 0)
        std::printf("Processor time per wake-up: murmurly %.0f us, parec %.0f us\n",
                    1e6 * recordingCpu / (wakeUps * elapsed), 1e6 * captureCpu / captureWakeUps);
    std::printf("Ten minutes of audio: %.1f CPU s projected.\n", recordingCpu / minutes * 10.0);
    std::printf("Targets: at most 0.7 %% of one core: %s (%.3f %%); at most 50 MB peak RSS: %s (%.1f MB)\n",
                core(recordingCpu) <= 0.7 ? "met" : "NOT met", core(recordingCpu),
                recording1->peakRssMB <= 50.0 ? "met" : "NOT met", recording1->peakRssMB);
    return 0;
}
