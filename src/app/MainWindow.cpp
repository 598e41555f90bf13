#include "app/MainWindow.h"

#include "app/AppModel.h"
#include "app/DesignSystem.h"
#include "app/ErrorBanner.h"
#include "app/GlassMorphismModifier.h"
#include "app/HistoryView.h"
#include "app/ImportStatusRow.h"
#include "app/LevelBar.h"
#include "app/PermissionButton.h"
#include "app/SettingsButtonStyle.h"
#include "app/SettingsView.h"
#include "app/SymbolIcon.h"
#include "app/TranscriptBox.h"
#include "audio/MicRecorder.h"
#include "audio/SystemAudioMonitor.h"
#include "history/FileImport.h"
#include "history/SessionHistoryStore.h"
#include "pipeline/TranscriptionPipeline.h"

#include <QAction>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QShowEvent>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace murmurly {

namespace {

using namespace DesignSystem;

// The 8-pixel dot beside the status text.
class StatusDot : public QWidget {
public:
    StatusDot() { setFixedSize(8, 8); }
    void setColour(const QColor& colour) {
        m_colour = colour;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(m_colour);
        painter.drawEllipse(rect());
    }

private:
    QColor m_colour;
};

// A centred, wrapping text `maxWidth` wide. The stretches centre it; an alignment flag on the layout
// item instead would lose the label's height-for-width and cut its lines off.
QHBoxLayout* wrappedLabel(const QString& text, const QFont& font, qreal opacity, int maxWidth) {
    auto* label = new QLabel(text);
    label->setFont(font);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignCenter);
    label->setStyleSheet(QStringLiteral("color: %1;").arg(Colors::css(Colors::white(opacity))));
    // The card has a fixed width, so the text's lines are known: a wrapped label would otherwise
    // claim the height of its narrowest layout and make the page scroll for nothing.
    label->setFixedWidth(maxWidth);
    label->setMinimumHeight(label->heightForWidth(maxWidth));
    auto* row = new QHBoxLayout;
    row->addStretch(0);
    row->addWidget(label, 1);
    row->addStretch(0);
    return row;
}

void setTextColour(QLabel& label, const QColor& colour) {
    label.setStyleSheet(QStringLiteral("color: %1;").arg(Colors::css(colour)));
}

} // namespace

MainWindow::MainWindow(AppModel& model, QWidget* parent)
    : QMainWindow(parent)
    , m_model(model)
    , m_pipeline(model.pipeline())
    , m_history(std::make_unique<SessionHistoryStore>()) {
    setWindowTitle(QStringLiteral("Murmurly"));
    setMinimumSize(210, 260);
    resize(640, 560);

    auto* background = new QWidget(this);
    background->setObjectName(QStringLiteral("background"));
    background->setStyleSheet(windowStyleSheet() + backgroundStyle(background->objectName()));
    auto* column = new QVBoxLayout(background);
    column->setContentsMargins(0, 0, 0, 0);
    m_screens = new QStackedWidget;
    m_permissionsScreen = buildPermissionsScreen();
    m_workingScreen = buildWorkingScreen();
    m_screens->addWidget(m_permissionsScreen);
    m_screens->addWidget(m_workingScreen);
    column->addWidget(m_screens);
    ImportStatusRow::attach(*this, model);
    setCentralWidget(background);

    // The keyboard stand-in for the tray menu's Start/Stop, live while the window has the focus.
    m_toggle = new QAction(QStringLiteral("Start/Stop"), this);
    m_toggle->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    m_toggle->setShortcutContext(Qt::WindowShortcut);
    addAction(m_toggle);
    connect(m_toggle, &QAction::triggered, this, [this] { m_model.toggleRecording(); });
    connect(m_startStop, &QPushButton::clicked, this, [this] { m_model.toggleRecording(); });
    connect(m_historyButton, &QAbstractButton::clicked, this, [this] { setShowHistory(!m_showHistory); });
    connect(m_settingsButton, &QAbstractButton::clicked, this, [this] { setShowSettings(true); });

    connect(&m_model.mic(), &MicRecorder::permissionGrantedChanged, this, &MainWindow::updateScreen);
    connect(&m_model.system(), &SystemAudioMonitor::permissionGrantedChanged, this,
            &MainWindow::updateScreen);
    const auto& p = m_pipeline;
    connect(&p, &TranscriptionPipeline::isRunningChanged, this, &MainWindow::updateRunState);
    connect(&p, &TranscriptionPipeline::isStartingChanged, this, &MainWindow::updateRunState);
    connect(&p, &TranscriptionPipeline::isTranscribingChanged, this, &MainWindow::updateRunState);
    connect(&p, &TranscriptionPipeline::isSilentChanged, this, &MainWindow::updateRunState);
    connect(&model.fileImport(), &FileImport::progressChanged, this, &MainWindow::updateRunState);
    connect(&model.fileImport(), &FileImport::isActiveChanged, this, &MainWindow::updateRunState);
    // The pipeline publishes levels and scores ten times a second while recording, which is as
    // often as the meters are worth redrawing.
    // Each redraws only its own meter: a tick may bring both, and the level twice (microphone and
    // system audio). A hidden window has nothing to repaint; it catches up when it is shown.
    connect(&p, &TranscriptionPipeline::vadScoreChanged, this, [this] {
        if (isVisible())
            updateScore();
    });
    connect(&p, &TranscriptionPipeline::levelChanged, this, [this] {
        if (isVisible())
            updateLevel();
    });
    connect(&p, &TranscriptionPipeline::transcriptTextChanged, this, &MainWindow::updateTranscript);
    connect(&p, &TranscriptionPipeline::lastErrorChanged, this, &MainWindow::updateError);
    updateScreen();
    updateRunState();
    updateMeters();
    updateTranscript();
    updateError();
}

MainWindow::~MainWindow() {
    // The history panel watches the store this window owns: it goes first, so that nothing the
    // store sends while it is torn down reaches a panel that still reads from it.
    delete m_historyPanel;
}

QWidget* MainWindow::buildPermissionsScreen() {
    auto* card = new QWidget;
    const GlassMorphismModifier look{
        .cornerRadius = 28, .fillOpacity = 0.06, .strokeOpacity = 0.12, .shadowRadius = 24, .shadowY = 12};
    look.apply(*card);
    // 420 wide: narrower, the wrapped texts would ask for more height than the window has, and a
    // window narrower than the card scrolls instead.
    card->setFixedWidth(420 + look.shadowMargins().left() + look.shadowMargins().right());
    auto* column = new QVBoxLayout(card);
    column->setContentsMargins(32, 32, 32, 32);
    column->setSpacing(14);

    auto* symbol = new QLabel;
    symbol->setPixmap(SymbolIcon::icon(QStringLiteral("waveform.circle.fill")).pixmap(64));
    column->addWidget(symbol, 0, Qt::AlignHCenter);
    auto* title = new QLabel(QStringLiteral("Permissions Required"));
    title->setFont(Fonts::title());
    setTextColour(*title, Qt::white);
    column->addWidget(title, 0, Qt::AlignHCenter);
    column->addLayout(
        wrappedLabel(QStringLiteral("We need access to your microphone and system audio to monitor "
                                    "and split voice into blocks."),
                     Fonts::footnote(), 0.75, 340));
    column->addSpacing(4);

    m_micRow = new PermissionButton(QStringLiteral("Microphone"), QStringLiteral("mic.fill"));
    m_systemRow = new PermissionButton(QStringLiteral("System Audio"), QStringLiteral("speaker.wave.3.fill"));
    connect(m_micRow, &QAbstractButton::clicked, &m_model.mic(), &MicRecorder::requestPermission);
    connect(m_systemRow, &QAbstractButton::clicked, &m_model.system(),
            &SystemAudioMonitor::requestPermission);
    column->addWidget(m_micRow);
    column->addWidget(m_systemRow);

    auto* links = new QHBoxLayout;
    links->setSpacing(12);
    auto* micSettings = new QPushButton(QStringLiteral("Open Microphone Settings"));
    auto* screenSettings = new QPushButton(QStringLiteral("Open Screen Recording Settings"));
    for (QPushButton* link : {micSettings, screenSettings}) {
        setButtonStyle(*link, ButtonStyle::link);
        link->setFont(Fonts::footnote());
    }
    connect(micSettings, &QPushButton::clicked, &m_model.mic(), &MicRecorder::openMicrophoneSettings);
    connect(screenSettings, &QPushButton::clicked, &m_model.system(),
            &SystemAudioMonitor::openScreenRecordingSettings);
    links->addStretch(1);
    links->addWidget(micSettings);
    links->addWidget(screenSettings);
    links->addStretch(1);
    column->addLayout(links);
    column->addLayout(
        wrappedLabel(QStringLiteral("If the prompts do not appear, enable access in System Settings > "
                                    "Privacy & Security."),
                     Fonts::caption(), 0.65, 360));

    // The card is centred; in a window smaller than the card it scrolls instead of being squeezed.
    auto* page = new QWidget;
    auto* centring = new QVBoxLayout(page);
    centring->setContentsMargins(16, 16, 16, 16);
    centring->addStretch(1);
    centring->addWidget(card, 0, Qt::AlignHCenter);
    centring->addStretch(1);
    auto* scroll = new QScrollArea;
    scroll->setWidget(page);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setStyleSheet(
        QStringLiteral("QScrollArea, QScrollArea > QWidget > QWidget { background: transparent; }"));
    return scroll;
}

QWidget* MainWindow::buildWorkingScreen() {
    auto* screen = new QWidget;
    m_workingColumn = new QVBoxLayout(screen);
    m_workingColumn->setContentsMargins(16, 14, 16, 16);
    m_workingColumn->setSpacing(12);
    m_workingColumn->addWidget(buildTopBar());

    m_transcriptPage = new QWidget;
    auto* transcriptColumn = new QVBoxLayout(m_transcriptPage);
    transcriptColumn->setContentsMargins(0, 0, 0, 0);
    transcriptColumn->setSpacing(12);
    m_transcript =
        new TranscriptBox(QStringLiteral("Transcript"), QStringLiteral("Waiting for audio blocks..."));
    m_transcript->setMinimumHeight(280);
    transcriptColumn->addWidget(m_transcript, 1);
    m_banner = new ErrorBanner;
    transcriptColumn->addWidget(m_banner);

    m_historyPanel = buildHistoryPanel();
    m_content = new QStackedWidget;
    m_content->addWidget(m_transcriptPage);
    m_content->addWidget(m_historyPanel);
    m_workingColumn->addWidget(m_content, 1);
    return screen;
}

QWidget* MainWindow::buildTopBar() {
    auto* bar = new QWidget;
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    m_startStop = new QPushButton;
    setButtonStyle(*m_startStop, ButtonStyle::prominent);
    m_startStop->setMinimumWidth(72);
    row->addWidget(m_startStop);
    row->addSpacing(2);
    m_dot = new StatusDot;
    row->addWidget(m_dot);
    m_statusLabel = new QLabel;
    m_statusLabel->setFont(Fonts::footnote());
    // As wide as the longest status, so that the score and the meter do not jump as it changes.
    m_statusLabel->setMinimumWidth(
        QFontMetrics(m_statusLabel->font()).horizontalAdvance(statusText(false, true, false)));
    row->addWidget(m_statusLabel);
    row->addSpacing(4);
    m_score = new QLabel;
    QFont scoreFont = Fonts::monospace();
    scoreFont.setPixelSize(11);
    scoreFont.setWeight(QFont::Medium);
    m_score->setFont(scoreFont);
    setTextColour(*m_score, Colors::white(0.72));
    m_score->setMinimumWidth(QFontMetrics(scoreFont).horizontalAdvance(QStringLiteral("VAD: 0.00")));
    row->addWidget(m_score);
    m_level = new LevelBar;
    row->addWidget(m_level);
    row->addStretch(1);

    m_topBarActions = new QHBoxLayout;
    m_topBarActions->setSpacing(8);
    m_historyButton = new SettingsButtonStyle(QStringLiteral("clock"));
    m_historyButton->setToolTip(QStringLiteral("History"));
    m_historyButton->setAccessibleName(QStringLiteral("History"));
    m_settingsButton = new SettingsButtonStyle(QStringLiteral("gearshape.fill"));
    m_settingsButton->setAccessibleName(QStringLiteral("Settings"));
    m_topBarActions->addWidget(m_historyButton);
    m_topBarActions->addWidget(m_settingsButton);
    row->addLayout(m_topBarActions);
    return bar;
}

QWidget* MainWindow::buildHistoryPanel() {
    // Shown and hidden by the content area's page switch; hiding it discards what it showed.
    return new HistoryView(*m_history, m_pipeline);
}

QString MainWindow::statusText(bool isRunning, bool isTranscribing, bool isSilent) {
    if (isTranscribing)
        return QStringLiteral("Transcribing\u2026");
    if (isRunning && isSilent)
        return QStringLiteral("Silence");
    if (isRunning)
        return QStringLiteral("Listening\u2026");
    return QStringLiteral("Idle");
}

bool MainWindow::showsPermissions() const {
    return m_screens->currentWidget() == m_permissionsScreen;
}

void MainWindow::setShowSettings(bool show) {
    if (show == m_showSettings)
        return;
    m_showSettings = show;
    if (show) {
        // A fresh dialog each time: it loads the files as it appears and keeps nothing once closed.
        m_settings = new SettingsView(this);
        m_settings->setAttribute(Qt::WA_DeleteOnClose);
        connect(m_settings, &QDialog::finished, this, [this] {
            m_settings = nullptr;
            setShowSettings(false);
        });
        m_settings->open();
    } else if (m_settings) {
        m_settings->close();
    }
    emit showSettingsChanged(show);
}

void MainWindow::setShowHistory(bool show) {
    if (show == m_showHistory)
        return;
    m_showHistory = show;
    m_historyButton->setSystemImage(show ? QStringLiteral("clock.fill") : QStringLiteral("clock"));
    // The panel has its own error banner; the transcript's goes away with the transcript.
    m_content->setCurrentWidget(show ? m_historyPanel : m_transcriptPage);
    if (show)
        m_history->rescan();
    emit showHistoryChanged(show);
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    updateMeters();
    // Appearing, not a window manager restoring a minimised window.
    if (event->spontaneous())
        return;
    m_model.refreshPermissions();
    if (m_showHistory)
        m_history->rescan();
}

void MainWindow::updateScreen() {
    const bool granted = m_model.mic().permissionGranted() && m_model.system().permissionGranted();
    m_screens->setCurrentWidget(granted ? m_workingScreen : m_permissionsScreen);
    updatePermissionRows();
}

void MainWindow::updatePermissionRows() {
    const bool mic = m_model.mic().permissionGranted();
    const bool system = m_model.system().permissionGranted();
    m_micRow->setGranted(mic);
    m_micRow->setSubtitle(mic ? QStringLiteral("Access granted") : QStringLiteral("Allow microphone access"));
    m_systemRow->setGranted(system);
    m_systemRow->setSubtitle(system ? QStringLiteral("Access granted")
                                    : QStringLiteral("Enable Screen Recording"));
}

void MainWindow::updateRunState() {
    const bool running = m_pipeline.isRunning();
    const bool transcribing = m_pipeline.isTranscribing();
    const bool silent = running && !transcribing && m_pipeline.isSilent();
    // A start waiting for the sound server is cancelled by the same button.
    m_startStop->setText(running || m_pipeline.isStarting() ? QStringLiteral("Stop")
                                                            : QStringLiteral("Start"));
    const QString importing = ImportStatusRow::statusText(m_model.fileImport());
    m_statusLabel->setText(importing.isEmpty() ? statusText(running, transcribing, m_pipeline.isSilent())
                                               : importing);

    QColor dot = Colors::white(0.4);
    QColor text = Colors::white(0.85);
    if (transcribing) {
        dot = Colors::white(0.8);
    } else if (silent) {
        dot = Colors::yellow();
        text = Colors::yellow();
    } else if (running) {
        dot = Colors::green();
    }
    static_cast<StatusDot*>(m_dot)->setColour(dot);
    setTextColour(*m_statusLabel, text);
}

void MainWindow::updateMeters() {
    updateLevel();
    updateScore();
}

void MainWindow::updateLevel() {
    m_level->setLevel(m_pipeline.level());
}

void MainWindow::updateScore() {
    const auto score = m_pipeline.vadScore();
    m_score->setText(QStringLiteral("VAD: ") +
                     (score ? QString::asprintf("%.2f", double(*score)) : QStringLiteral("--")));
}

void MainWindow::updateTranscript() {
    m_transcript->setText(m_pipeline.transcriptText());
}

void MainWindow::updateError() {
    const QString error = m_pipeline.lastErrorDescription();
    m_banner->setMessage(error);
    m_banner->setVisible(!error.isEmpty());
}

} // namespace murmurly
