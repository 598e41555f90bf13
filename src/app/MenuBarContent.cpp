#include "app/MenuBarContent.h"

#include "app/AppModel.h"
#include "app/ImportStatusRow.h"
#include "history/FileImport.h"
#include "pipeline/TranscriptionPipeline.h"

#include <QAction>
#include <QMenu>

namespace murmurly {

namespace {
// The dark look of the window, for trays that let the application draw its own menu (X11); trays
// that draw menus themselves (StatusNotifierItem hosts) ignore it.
const char* const menuStyle = R"(
QMenu {
    background: rgb(31, 35, 45); color: white;
    border: 1px solid rgba(255, 255, 255, 36); padding: 4px 0;
}
QMenu::item { padding: 4px 22px 4px 14px; background: transparent; }
QMenu::item:selected { background: rgb(10, 132, 255); }
QMenu::item:disabled { color: rgba(255, 255, 255, 120); }
QMenu::separator { height: 1px; background: rgba(255, 255, 255, 36); margin: 4px 8px; }
)";
} // namespace

MenuBarContent::MenuBarContent(AppModel& model, TranscriptionPipeline& pipeline, QObject* parent)
    : QObject(parent)
    , m_model(model)
    , m_pipeline(pipeline)
    , m_menu(std::make_unique<QMenu>()) {
    m_menu->setStyleSheet(QString::fromLatin1(menuStyle));
    m_status = m_menu->addAction(QString());
    // A caption, not a command: disabled, so it is drawn in the secondary text colour.
    m_status->setEnabled(false);
    QFont caption = m_menu->font();
    if (caption.pointSizeF() > 0)
        caption.setPointSizeF(caption.pointSizeF() * 0.85);
    m_status->setFont(caption);

    m_menu->addSeparator();

    m_startStop = m_menu->addAction(QString());
    m_startStop->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    connect(m_startStop, &QAction::triggered, this, [this] { m_model.toggleRecording(); });

    m_copy = m_menu->addAction(QStringLiteral("Copy Last Transcript"));
    connect(m_copy, &QAction::triggered, this, [this] { m_model.copyTranscript(); });

    m_transcribeFile = m_menu->addAction(QStringLiteral("Transcribe File\u2026"));
    connect(m_transcribeFile, &QAction::triggered, this, [this] { m_model.transcribeFile(nullptr); });

    m_showWindow = m_menu->addAction(QStringLiteral("Show Window"));
    connect(m_showWindow, &QAction::triggered, this, [this] { m_model.showWindow(); });

    m_menu->addSeparator();

    m_quit = m_menu->addAction(QStringLiteral("Quit"));
    connect(m_quit, &QAction::triggered, this, &MenuBarContent::quitRequested);

    connect(&m_pipeline, &TranscriptionPipeline::isRunningChanged, this, &MenuBarContent::update);
    connect(&m_pipeline, &TranscriptionPipeline::isStartingChanged, this, &MenuBarContent::update);
    connect(&m_pipeline, &TranscriptionPipeline::isTranscribingChanged, this, &MenuBarContent::update);
    connect(&m_pipeline, &TranscriptionPipeline::transcriptTextChanged, this, &MenuBarContent::update);
    connect(&m_model.fileImport(), &FileImport::progressChanged, this, &MenuBarContent::update);
    connect(&m_model.fileImport(), &FileImport::isActiveChanged, this, &MenuBarContent::update);
    update();
}

MenuBarContent::~MenuBarContent() = default;

QString MenuBarContent::statusText(bool isRunning, bool isTranscribing) {
    if (isTranscribing)
        return QStringLiteral("Transcribing\u2026");
    if (isRunning)
        return QStringLiteral("Listening\u2026");
    return QStringLiteral("Idle");
}

void MenuBarContent::update() {
    const bool running = m_pipeline.isRunning();
    const QString importing = ImportStatusRow::statusText(m_model.fileImport());
    m_status->setText(QStringLiteral("Status: ") +
                      (importing.isEmpty() ? statusText(running, m_pipeline.isTranscribing()) : importing));
    // A start waiting for the sound server is cancelled by the same button.
    m_startStop->setText(running || m_pipeline.isStarting() ? QStringLiteral("Stop")
                                                            : QStringLiteral("Start"));
    m_copy->setEnabled(!m_pipeline.transcriptText().trimmed().isEmpty());
}

} // namespace murmurly
