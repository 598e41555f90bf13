#include "app/AppModel.h"

#include "audio/MicRecorder.h"
#include "audio/SoundServerProbe.h"
#include "audio/SystemAudioMonitor.h"
#include "history/FileImport.h"
#include "pipeline/TranscriptionPipeline.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QMainWindow>
#include <QWidget>

namespace murmurly {

AppModel::AppModel(QObject* parent)
    : AppModel(nullptr, parent) {}

AppModel::AppModel(std::unique_ptr<TranscriptionPipeline> pipeline, QObject* parent)
    : QObject(parent)
    , m_mic(std::make_unique<MicRecorder>())
    , m_system(std::make_unique<SystemAudioMonitor>())
    , m_pipeline(pipeline ? std::move(pipeline) : std::make_unique<TranscriptionPipeline>()) {
    m_pipeline->bindSystemMonitor(m_system.get());
    m_fileImport = std::make_unique<FileImport>(*m_pipeline, [pipeline = m_pipeline.get()] {
        if (pipeline->isRunning())
            return FileImport::Activity::recording;
        return pipeline->isTranscribing() ? FileImport::Activity::transcribing : FileImport::Activity::idle;
    });
}

AppModel::~AppModel() = default;

void AppModel::refreshPermissions() {
    // One probe answers both questions, off the main thread: a window that appears while the sound
    // server hangs stays responsive and shows "not granted" once the probe gives up.
    SoundServerProbe::probeInBackground(this, [this](const SoundServerInfo& info) {
        m_mic->setPermissionGranted(MicRecorder::grantsPermission(info));
        m_system->setPermissionGranted(SystemAudioMonitor::grantsPermission(info));
    });
}

void AppModel::copyTranscript() {
    const QString text = m_pipeline->transcriptText().trimmed();
    if (text.isEmpty())
        return;
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(text);
}

void AppModel::showWindow() {
    // The first main window in the application's list; menus, tooltips and popups are windows to
    // Qt as well, but never the one to bring forward.
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* window = qobject_cast<QMainWindow*>(widget);
        if (!window)
            continue;
        window->show();
        window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
        window->raise();
        window->activateWindow();
        return;
    }
}

void AppModel::toggleRecording() {
    // A start still waiting for the sound server counts as running: the press cancels it.
    if (m_pipeline->isRunning() || m_pipeline->isStarting())
        m_pipeline->stop();
    else
        m_pipeline->start();
}

} // namespace murmurly

namespace murmurly {

void AppModel::transcribeFile(QWidget* parent) {
    auto* dialog =
        new QFileDialog(parent, QStringLiteral("Transcribe File"), QDir::homePath(),
                        QStringLiteral("Audio and video files (*.mp3 *.m4a *.m4b *.aac *.mp4 *.m4v *.mov "
                                       "*.mkv *.webm *.ogg *.oga *.opus *.flac *.wav *.wma *.aiff *.aif "
                                       "*.amr *.3gp *.avi *.wmv *.mpeg *.mpg *.ts);;All files (*)"));
    dialog->setObjectName(QStringLiteral("transcribeFileDialog"));
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QFileDialog::fileSelected, this, &AppModel::importFile);
    dialog->open();
}

void AppModel::importFile(const QString& path) {
    showWindow();
    m_fileImport->start(path);
}

} // namespace murmurly
