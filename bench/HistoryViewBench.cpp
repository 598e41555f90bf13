// Opens the history panel on 5,000 sessions and scrolls its list from top to bottom, and reports
// the longest time the main thread was held in each phase (the longest gap between two event-loop
// iterations while opening, the longest scroll step with its repaint while scrolling). The same two
// phases over a plain QListView of 5,000 one-line names, in the same window, are the reference: what
// Qt itself costs on this machine for a list that long.
// Usage: bench_history_view [sessions] [repetitions]
#include "HistoryBenchFolder.h"
#include "app/DesignSystem.h"
#include "app/HistoryView.h"
#include "history/SessionHistoryStore.h"
#include "history/SessionMetadataStore.h"
#include "pipeline/TranscriptionPipeline.h"
#include "storage/SessionStore.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QListView>
#include <QScrollBar>
#include <QStringListModel>
#include <QTemporaryDir>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

using namespace murmurly;

namespace {

// Runs the event loop until `done` holds (checked at every iteration), then 100 ms more so that
// the paints that follow are counted; returns the longest gap between two iterations in ms.
double longestGapUntil(const std::function<void()>& start, const std::function<bool()>& done) {
    QEventLoop loop;
    QElapsedTimer sinceTick;
    double longest = 0;
    bool finishing = false;
    QTimer ticker;
    ticker.setInterval(0);
    QObject::connect(&ticker, &QTimer::timeout, &loop, [&] {
        longest = std::max(longest, double(sinceTick.nsecsElapsed()) / 1e6);
        sinceTick.restart();
        if (!finishing && done()) {
            finishing = true;
            QTimer::singleShot(100, &loop, &QEventLoop::quit);
        }
    });
    sinceTick.start();
    ticker.start();
    start(); // inside the measured time: showing a window lays it out and polishes it at once
    loop.exec();
    return longest;
}

// Scrolls `list` from top to bottom by a third of its height per step, repainting each step as a
// user's wheel would; returns the longest step in ms.
double longestScrollStep(QListView& list) {
    QScrollBar* bar = list.verticalScrollBar();
    double longest = 0;
    for (int value = 0; value <= bar->maximum(); value += std::max(1, list.viewport()->height() / 3)) {
        QElapsedTimer step;
        step.start();
        bar->setValue(value);
        list.viewport()->repaint();
        QCoreApplication::processEvents();
        longest = std::max(longest, double(step.nsecsElapsed()) / 1e6);
    }
    return longest;
}

struct Phases {
    double openMs = 0;
    double scrollMs = 0;
};

QWidget* darkWindow() {
    auto* window = new QWidget;
    window->setObjectName(QStringLiteral("window"));
    window->setStyleSheet(DesignSystem::windowStyleSheet() +
                          DesignSystem::backgroundStyle(QStringLiteral("window")));
    window->resize(780, 470);
    new QVBoxLayout(window);
    return window;
}

Phases historyPanel(TranscriptionPipeline& pipeline) {
    SessionHistoryStore store;
    std::unique_ptr<QWidget> window(darkWindow());
    auto* view = new HistoryView(store, pipeline);
    window->layout()->addWidget(view);
    Phases phases;
    phases.openMs = longestGapUntil([&] { window->show(); },
                                    [&] { return store.pendingScans() == 0 && !store.sessions().isEmpty(); });
    phases.scrollMs = longestScrollStep(*view->sessionList());
    return phases;
}

Phases plainList(int rows) {
    std::unique_ptr<QWidget> window(darkWindow());
    QStringList names;
    for (int i = 0; i < rows; ++i)
        names << QStringLiteral("Meeting %1").arg(i);
    QStringListModel model;
    auto* list = new QListView;
    list->setUniformItemSizes(true);
    window->layout()->addWidget(list);
    Phases phases;
    phases.openMs = longestGapUntil(
        [&] {
            model.setStringList(names);
            list->setModel(&model);
            window->show();
        },
        [] { return true; });
    phases.scrollMs = longestScrollStep(*list);
    return phases;
}

Phases median(std::vector<Phases> runs) {
    Phases m;
    for (double Phases::*field : {&Phases::openMs, &Phases::scrollMs}) {
        std::sort(runs.begin(), runs.end(),
                  [&](const Phases& a, const Phases& b) { return a.*field < b.*field; });
        m.*field = runs[runs.size() / 2].*field;
    }
    return m;
}

} // namespace

int main(int argc, char** argv) {
    const int sessions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5000;
    const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;

    // Never touch the real user folders.
    QTemporaryDir home;
    if (!home.isValid())
        qFatal("no temporary folder");
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath(".local/share")));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    bench::populateHistory(sessions, {200'000, 400, 3'000'000});
    TranscriptionPipeline pipeline;

    std::vector<Phases> panel;
    std::vector<Phases> reference;
    for (int i = 0; i < repetitions; ++i) {
        panel.push_back(historyPanel(pipeline));
        reference.push_back(plainList(sessions));
    }
    const Phases p = median(panel);
    const Phases r = median(reference);
    std::printf("history panel benchmark: %d sessions, %d repetitions (medians)\n", sessions, repetitions);
    std::printf("  reference  plain list of %d names: open %.2f ms, scroll step %.2f ms\n", sessions,
                r.openMs, r.scrollMs);
    std::printf(
        "  longest main-thread stall while opening:   %7.2f ms = %5.2f x reference  (target < 100 ms)\n",
        p.openMs, p.openMs / r.openMs);
    std::printf(
        "  longest main-thread stall while scrolling: %7.2f ms = %5.2f x reference  (target < 100 ms)\n",
        p.scrollMs, p.scrollMs / r.scrollMs);
    return 0;
}
