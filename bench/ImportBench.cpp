// Imports a long M4A file the way "Transcribe File…" does (decode, resample to 16 kHz mono, write
// the session WAV) and compares it with the ffmpeg tool doing the same conversion in the same run:
// the time ratio and how much the peak resident memory of this process grows.
//
//   bench_import [--minutes N]     (60 by default; the source is made once and kept in the
//                                   build folder's bench-data)
#include "history/FileImport.h"
#include "pipeline/TranscriptionRunner.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace murmurly;

// Takes the hand-over and does nothing: the service is not part of what is measured.
class IdleRunner : public TranscriptionRunner {
public:
    void transcribeFiles(std::optional<QString>, std::optional<QString>, std::optional<QString>, bool,
                         TranscriptionCompletion) override {}
};

double statusMB(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qsizetype(qstrlen(field))).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

struct ChildRun {
    bool ok = false;
    double seconds = 0;
    double peakRssMB = 0;
};

// Runs a program to its end; wait4 gives the child's own peak RSS.
ChildRun runChild(const QStringList& command) {
    QList<QByteArray> storage;
    std::vector<char*> argv;
    for (const QString& part : command)
        storage << part.toLocal8Bit();
    for (QByteArray& part : storage)
        argv.push_back(part.data());
    argv.push_back(nullptr);
    QElapsedTimer timer;
    timer.start();
    const pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    ChildRun run;
    if (pid > 0 && wait4(pid, &status, 0, &usage) == pid) {
        run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        run.seconds = double(timer.nsecsElapsed()) / 1e9;
        run.peakRssMB = double(usage.ru_maxrss) / 1024.0;
    }
    return run;
}

} // namespace

int main(int argc, char** argv) {
    int minutes = 60;
    for (int i = 1; i + 1 < argc; ++i) {
        if (qstrcmp(argv[i], "--minutes") == 0)
            minutes = std::max(1, atoi(argv[i + 1]));
    }
    // The import writes into the application folder: a private one.
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toUtf8());
    QCoreApplication app(argc, argv);

    const QString dataDir = QCoreApplication::applicationDirPath() + QStringLiteral("/../bench-data");
    QDir().mkpath(dataDir);
    const QString source = dataDir + QStringLiteral("/talk-%1min.m4a").arg(minutes);
    if (!QFileInfo::exists(source)) {
        std::printf("Making %d minutes of stereo AAC (once)...\n", minutes);
        std::fflush(stdout);
        const ChildRun made = runChild(
            {QStringLiteral("ffmpeg"), QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"),
             QStringLiteral("error"), QStringLiteral("-y"), QStringLiteral("-f"), QStringLiteral("lavfi"),
             QStringLiteral("-i"),
             QStringLiteral(
                 "aevalsrc=exprs=0.3*sin(2*PI*220*t)*sin(2*PI*0.5*t)|0.2*sin(2*PI*330*t):s=44100:d=%1")
                 .arg(minutes * 60),
             QStringLiteral("-c:a"), QStringLiteral("aac"), QStringLiteral("-b:a"), QStringLiteral("128k"),
             source + QStringLiteral(".tmp.m4a")});
        if (!made.ok || !QFile::rename(source + QStringLiteral(".tmp.m4a"), source)) {
            std::fprintf(stderr, "bench_import: could not make %s with ffmpeg\n", qPrintable(source));
            return 1;
        }
    }

    // Reference: the ffmpeg tool, same conversion, same output sample type.
    const QString reference = home.filePath(QStringLiteral("reference.wav"));
    const ChildRun ffmpeg =
        runChild({QStringLiteral("ffmpeg"), QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"),
                  QStringLiteral("error"), QStringLiteral("-y"), QStringLiteral("-i"), source,
                  QStringLiteral("-ar"), QStringLiteral("16000"), QStringLiteral("-ac"), QStringLiteral("1"),
                  QStringLiteral("-c:a"), QStringLiteral("pcm_f32le"), reference});
    if (!ffmpeg.ok) {
        std::fprintf(stderr, "bench_import: ffmpeg failed on %s\n", qPrintable(source));
        return 1;
    }

    IdleRunner runner;
    FileImport import(runner, [] { return FileImport::Activity::idle; });
    QString failure;
    QObject::connect(&import, &FileImport::failed, &app, [&](const QString& message) { failure = message; });
    QObject::connect(&import, &FileImport::isActiveChanged, &app, [&] {
        if (!import.isActive())
            app.quit();
    });
    const double rssBefore = statusMB("VmHWM:");
    QElapsedTimer timer;
    timer.start();
    if (!import.start(source))
        return 1;
    app.exec();
    const double ours = double(timer.nsecsElapsed()) / 1e9;
    const double rssGrowth = statusMB("VmHWM:") - rssBefore;
    if (!failure.isEmpty()) {
        std::fprintf(stderr, "bench_import: %s\n", qPrintable(failure));
        return 1;
    }

    qint64 ourBytes = 0;
    for (const QFileInfo& info :
         QDir(home.filePath(QStringLiteral("data/Murmurly"))).entryInfoList({QStringLiteral("mixed-*.wav")}))
        ourBytes += info.size();
    std::printf("Import of %d min of M4A (%.1f MB):\n", minutes, double(QFileInfo(source).size()) / 1e6);
    std::printf("  ffmpeg -ar 16000 -ac 1   %7.2f s   peak RSS %6.1f MB   WAV %.1f MB\n", ffmpeg.seconds,
                ffmpeg.peakRssMB, double(QFileInfo(reference).size()) / 1e6);
    std::printf("  Murmurly import          %7.2f s   peak RSS growth %6.1f MB   WAV %.1f MB\n", ours,
                rssGrowth, double(ourBytes) / 1e6);
    std::printf("  time ratio (import / ffmpeg): %.2f  (target <= 1.5)\n", ours / ffmpeg.seconds);
    std::printf("  peak RSS growth: %.1f MB  (target < 30 MB)\n", rssGrowth);
    return 0;
}
