// Scans a prepared application folder of 5,000 sessions and reports
//  - the time per scanEntries() as a ratio to a bare listing of the same two folders (every
//    file's size read) measured in the same run, and
//  - what a rescan costs the main thread: event-loop iterations while the scan runs and the longest
//    gap between two of them, as a ratio to the scan time.
// Usage: bench_history [sessions] [repetitions]
#include "HistoryBenchFolder.h"
#include "history/SessionHistoryStore.h"
#include "history/SessionMetadataStore.h"
#include "storage/SessionStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace murmurly;

namespace {

// What any scan must at least do: list both folders and read every file's size.
qint64 bareListing() {
    qint64 total = 0;
    for (const QString& folder :
         {SessionStore::appSupportDirectory(), SessionStore::transcriptsDirectory()}) {
        QDirIterator it(folder, QDir::Files | QDir::NoDotAndDotDot);
        while (it.hasNext()) {
            it.next();
            total += it.fileInfo().size();
        }
    }
    return total;
}

template <typename F>
double medianMs(int repetitions, F&& work) {
    std::vector<double> times;
    for (int i = 0; i < repetitions; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

struct LoopStats {
    double elapsedMs = 0;
    double longestGapMs = 0;
    qint64 iterations = 0;
    double iterationsPerMs() const { return elapsedMs > 0 ? double(iterations) / elapsedMs : 0; }
};

// Runs an event loop until `start`'s work quits it, counting iterations with a zero-interval timer
// and the longest time between two of them (how long the main thread was held).
template <typename Start>
LoopStats watchEventLoop(Start&& start) {
    QEventLoop loop;
    LoopStats stats;
    QElapsedTimer total;
    QElapsedTimer sinceTick;
    QTimer ticker;
    ticker.setInterval(0);
    QObject::connect(&ticker, &QTimer::timeout, &ticker, [&] {
        stats.longestGapMs = std::max(stats.longestGapMs, double(sinceTick.nsecsElapsed()) / 1e6);
        sinceTick.restart();
        ++stats.iterations;
    });
    total.start();
    sinceTick.start();
    ticker.start();
    start(loop);
    loop.exec();
    stats.elapsedMs = double(total.nsecsElapsed()) / 1e6;
    return stats;
}

// Field-wise medians.
LoopStats median(std::vector<LoopStats> runs) {
    const auto mid = [&](auto field) {
        std::sort(runs.begin(), runs.end(),
                  [&](const LoopStats& a, const LoopStats& b) { return a.*field < b.*field; });
        return runs[runs.size() / 2].*field;
    };
    LoopStats m;
    m.elapsedMs = mid(&LoopStats::elapsedMs);
    m.longestGapMs = mid(&LoopStats::longestGapMs);
    m.iterations = mid(&LoopStats::iterations);
    return m;
}

} // namespace

int main(int argc, char** argv) {
    const int sessions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5000;
    const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 15;

    // Never touch the real user folders.
    QTemporaryDir home;
    if (!home.isValid())
        qFatal("no temporary folder");
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath(".local/share")));
    QCoreApplication app(argc, argv);

    bench::populateHistory(sessions, {200, 40, 1000});

    qint64 sink = 0;
    int entries = 0;
    bareListing(); // warm the directory cache for both measurements alike
    const double reference = medianMs(repetitions, [&] { sink += bareListing(); });
    const double scan =
        medianMs(repetitions, [&] { entries = int(SessionHistoryStore::scanEntries().size()); });

    // A rescan through the store while a zero-interval timer counts event-loop iterations; the same
    // count over the same time with nothing running is the reference for an unblocked main thread.
    SessionHistoryStore store;
    std::vector<LoopStats> during;
    std::vector<LoopStats> idle;
    for (int i = 0; i < repetitions; ++i) {
        during.push_back(watchEventLoop([&](QEventLoop& loop) {
            QObject::connect(&store, &SessionHistoryStore::scanApplied, &loop, &QEventLoop::quit);
            store.rescan();
        }));
        const int idleMs = std::max(1, int(during.back().elapsedMs));
        idle.push_back(
            watchEventLoop([&](QEventLoop& loop) { QTimer::singleShot(idleMs, &loop, &QEventLoop::quit); }));
    }
    const LoopStats rescan = median(during);
    const LoopStats quiet = median(idle);

    std::printf("history scan benchmark: %d sessions, %d entries found, %d repetitions (medians)\n", sessions,
                entries, repetitions);
    std::printf("  reference  bare listing of both folders:  %8.2f ms\n", reference);
    std::printf(
        "  scanEntries():                            %8.2f ms  = %.2f x reference  (target < 200 ms)\n", scan,
        scan / reference);
    std::printf("  rescan() until applied on the main thread: %7.2f ms  = %.2f x reference\n",
                rescan.elapsedMs, rescan.elapsedMs / reference);
    std::printf("  main thread during rescan: %.1f event-loop iterations/ms = %.2f x idle (%.1f/ms)\n",
                rescan.iterationsPerMs(), rescan.iterationsPerMs() / quiet.iterationsPerMs(),
                quiet.iterationsPerMs());
    std::printf(
        "  longest main-thread gap during rescan: %.2f ms = %.2f x idle (%.2f ms) = %.3f x rescan time\n",
        rescan.longestGapMs, rescan.longestGapMs / quiet.longestGapMs, quiet.longestGapMs,
        rescan.longestGapMs / rescan.elapsedMs);
    std::printf("  (checksum %lld)\n", static_cast<long long>(sink % 1000));
    return entries == sessions ? 0 : 1;
}
