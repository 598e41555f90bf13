#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QAction;
class QMenu;

namespace murmurly {

class AppModel;
class TranscriptionPipeline;

// The tray icon's menu: a status caption, Start/Stop (Ctrl+R), Copy Last Transcript, Show Window
// and Quit. It keeps no state of its own; every change of the pipeline's flags or transcript
// updates the items in place, so an open menu follows a recording that starts or ends.
class MenuBarContent : public QObject {
    Q_OBJECT
public:
    MenuBarContent(AppModel& model, TranscriptionPipeline& pipeline, QObject* parent = nullptr);
    ~MenuBarContent() override;

    QMenu* menu() const { return m_menu.get(); }

    // "Transcribing…" while a run is in progress (even during a recording), "Listening…" while
    // recording, else "Idle".
    static QString statusText(bool isRunning, bool isTranscribing);

    QAction* statusAction() const { return m_status; }
    QAction* startStopAction() const { return m_startStop; }
    QAction* copyAction() const { return m_copy; }
    QAction* transcribeFileAction() const { return m_transcribeFile; }
    QAction* showWindowAction() const { return m_showWindow; }
    QAction* quitAction() const { return m_quit; }

signals:
    // Quit was chosen; the application shell ends the event loop.
    void quitRequested();

private:
    void update();

    AppModel& m_model;
    TranscriptionPipeline& m_pipeline;
    std::unique_ptr<QMenu> m_menu; // a QMenu has no QObject parent here: it is a top-level popup
    QAction* m_status = nullptr;
    QAction* m_startStop = nullptr;
    QAction* m_copy = nullptr;
    QAction* m_transcribeFile = nullptr;
    QAction* m_showWindow = nullptr;
    QAction* m_quit = nullptr;
};

} // namespace murmurly
