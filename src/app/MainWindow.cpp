#include "app/MainWindow.h"

#include "app/AppModel.h"
#include "app/LevelBar.h"
#include "pipeline/TranscriptionPipeline.h"

#include <QAction>
#include <QClipboard>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

namespace murmurly {

namespace {

// Background gradient (0.08, 0.10, 0.14) → (0.16, 0.18, 0.24), cards of translucent white, the
// error banner in translucent red; everything else is white text at various opacities.
const char* const windowStyle = R"(
#background {
    background: qlineargradient(x1:0, y1:0, x2:1, y2:1, stop:0 rgb(20, 26, 36), stop:1 rgb(41, 46, 61));
}
QLabel { color: rgba(255, 255, 255, 217); }
#card {
    background: rgba(255, 255, 255, 15);
    border: 1px solid rgba(255, 255, 255, 31);
    border-radius: 14px;
}
#cardTitle { color: rgba(255, 255, 255, 153); font-weight: 600; }
#score { color: rgba(255, 255, 255, 184); font-family: monospace; font-size: 11px; font-weight: 500; }
QPlainTextEdit {
    background: transparent; border: none; color: white;
    font-family: monospace; selection-background-color: rgba(10, 132, 255, 150);
}
QPushButton {
    color: white; background: rgba(255, 255, 255, 31); border: none;
    border-radius: 6px; padding: 3px 10px; font-weight: 600;
}
QPushButton:hover { background: rgba(255, 255, 255, 46); }
QPushButton:pressed { background: rgba(255, 255, 255, 20); }
#primary { background: rgb(10, 132, 255); padding: 5px 16px; }
#primary:hover { background: rgb(64, 156, 255); }
#banner {
    background: rgba(255, 59, 48, 38);
    border: 1px solid rgba(255, 59, 48, 89);
    border-radius: 12px;
}
#bannerIcon { color: rgb(255, 214, 10); font-size: 15px; }
QScrollBar:vertical { background: transparent; width: 8px; margin: 2px; }
QScrollBar::handle:vertical { background: rgba(255, 255, 255, 70); border-radius: 2px; min-height: 24px; }
QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }
QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }
#bannerText { color: white; }
)";

QString dotStyle(const QColor& colour) {
    return QStringLiteral("background: %1; border-radius: 4px;").arg(colour.name(QColor::HexArgb));
}

} // namespace

MainWindow::MainWindow(AppModel& model, QWidget* parent)
    : QMainWindow(parent)
    , m_model(model)
    , m_pipeline(model.pipeline()) {
    setWindowTitle(QStringLiteral("Murmurly"));
    setMinimumSize(210, 260);
    resize(560, 440);

    auto* background = new QWidget(this);
    background->setObjectName(QStringLiteral("background"));
    background->setStyleSheet(QString::fromLatin1(windowStyle));
    auto* column = new QVBoxLayout(background);
    column->setContentsMargins(16, 14, 16, 16);
    column->setSpacing(12);
    column->addWidget(buildTopBar());
    column->addWidget(buildTranscriptBox(), 1);
    column->addWidget(buildErrorBanner());
    setCentralWidget(background);

    // The keyboard stand-in for the tray menu's Start/Stop, live while the window has the focus.
    m_toggle = new QAction(QStringLiteral("Start/Stop"), this);
    m_toggle->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    m_toggle->setShortcutContext(Qt::WindowShortcut);
    addAction(m_toggle);
    connect(m_toggle, &QAction::triggered, this, [this] { m_model.toggleRecording(); });
    connect(m_startStop, &QPushButton::clicked, this, [this] { m_model.toggleRecording(); });
    connect(m_copy, &QPushButton::clicked, this,
            [this] { copyWithFeedback(m_copy, QStringLiteral("Copy"), m_pipeline.transcriptText()); });
    connect(m_copyError, &QPushButton::clicked, this, [this] {
        copyWithFeedback(m_copyError, QStringLiteral("Copy Error"), m_pipeline.lastErrorDescription());
    });

    const auto& p = m_pipeline;
    connect(&p, &TranscriptionPipeline::isRunningChanged, this, &MainWindow::updateRunState);
    connect(&p, &TranscriptionPipeline::isTranscribingChanged, this, &MainWindow::updateRunState);
    connect(&p, &TranscriptionPipeline::isSilentChanged, this, &MainWindow::updateRunState);
    // Levels and scores arrive some thirty times a second while recording; the meters are redrawn
    // at most ten times a second, which the eye cannot tell apart and costs a third of the work.
    m_meterRefresh.setSingleShot(true);
    m_meterRefresh.setInterval(100);
    connect(&m_meterRefresh, &QTimer::timeout, this, &MainWindow::updateMeters);
    connect(&p, &TranscriptionPipeline::vadScoreChanged, this, &MainWindow::scheduleMeters);
    connect(&p, &TranscriptionPipeline::levelChanged, this, &MainWindow::scheduleMeters);
    connect(&p, &TranscriptionPipeline::transcriptTextChanged, this, &MainWindow::updateTranscript);
    connect(&p, &TranscriptionPipeline::lastErrorChanged, this, &MainWindow::updateError);
    updateRunState();
    updateMeters();
    updateTranscript();
    updateError();
}

QWidget* MainWindow::buildTopBar() {
    auto* bar = new QWidget;
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    m_startStop = new QPushButton;
    m_startStop->setObjectName(QStringLiteral("primary"));
    m_startStop->setCursor(Qt::PointingHandCursor);
    row->addWidget(m_startStop);
    m_dot = new QLabel;
    m_dot->setFixedSize(8, 8);
    row->addWidget(m_dot);
    m_statusLabel = new QLabel;
    row->addWidget(m_statusLabel);
    m_score = new QLabel;
    m_score->setObjectName(QStringLiteral("score"));
    row->addWidget(m_score);
    m_level = new LevelBar;
    row->addWidget(m_level);
    row->addStretch(1);
    return bar;
}

QWidget* MainWindow::buildTranscriptBox() {
    auto* card = new QFrame;
    card->setObjectName(QStringLiteral("card"));
    card->setMinimumHeight(160);
    auto* column = new QVBoxLayout(card);
    column->setContentsMargins(12, 10, 12, 4);
    auto* header = new QHBoxLayout;
    auto* title = new QLabel(QStringLiteral("Transcript"));
    title->setObjectName(QStringLiteral("cardTitle"));
    header->addWidget(title);
    header->addStretch(1);
    m_copy = new QPushButton(QStringLiteral("Copy"));
    header->addWidget(m_copy);
    column->addLayout(header);
    m_transcript = new QPlainTextEdit;
    m_transcript->setReadOnly(true);
    m_transcript->setUndoRedoEnabled(false);
    m_transcript->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_transcript->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_transcript->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    m_transcript->setPlaceholderText(QStringLiteral("Waiting for audio blocks..."));
    column->addWidget(m_transcript, 1);
    return card;
}

QWidget* MainWindow::buildErrorBanner() {
    m_banner = new QFrame;
    m_banner->setObjectName(QStringLiteral("banner"));
    auto* row = new QHBoxLayout(m_banner);
    row->setContentsMargins(12, 8, 12, 8);
    auto* icon = new QLabel(QStringLiteral("\u26A0"));
    icon->setObjectName(QStringLiteral("bannerIcon"));
    row->addWidget(icon, 0, Qt::AlignTop);
    m_errorText = new QLabel;
    m_errorText->setObjectName(QStringLiteral("bannerText"));
    m_errorText->setWordWrap(true);
    m_errorText->setTextFormat(Qt::PlainText);
    m_errorText->setTextInteractionFlags(Qt::TextSelectableByMouse);
    row->addWidget(m_errorText, 1);
    m_copyError = new QPushButton(QStringLiteral("Copy Error"));
    row->addWidget(m_copyError, 0, Qt::AlignTop);
    return m_banner;
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

void MainWindow::updateRunState() {
    const bool running = m_pipeline.isRunning();
    const bool transcribing = m_pipeline.isTranscribing();
    const bool silent = running && !transcribing && m_pipeline.isSilent();
    m_startStop->setText(running ? QStringLiteral("Stop") : QStringLiteral("Start"));
    m_statusLabel->setText(statusText(running, transcribing, m_pipeline.isSilent()));

    const QColor yellow(255, 214, 10);
    QColor dot(255, 255, 255, 102);
    QString textColour = QStringLiteral("rgba(255, 255, 255, 217)");
    if (transcribing) {
        dot = QColor(255, 255, 255, 204);
    } else if (silent) {
        dot = yellow;
        textColour = yellow.name();
    } else if (running) {
        dot = QColor(52, 199, 89);
    }
    m_dot->setStyleSheet(dotStyle(dot));
    m_statusLabel->setStyleSheet(QStringLiteral("color: %1;").arg(textColour));
}

void MainWindow::scheduleMeters() {
    if (!m_meterRefresh.isActive())
        m_meterRefresh.start();
}

void MainWindow::updateMeters() {
    m_level->setLevel(m_pipeline.level());
    const auto score = m_pipeline.vadScore();
    m_score->setText(QStringLiteral("VAD: ") +
                     (score ? QString::asprintf("%.2f", double(*score)) : QStringLiteral("--")));
}

void MainWindow::updateTranscript() {
    const QString text = m_pipeline.transcriptText();
    if (m_transcript->toPlainText() == text)
        return;
    // A growing live preview follows its end; a new session that clears the text does not jump.
    const bool growing = text.size() >= m_transcript->toPlainText().size();
    m_transcript->setPlainText(text);
    if (growing && !text.isEmpty())
        m_transcript->verticalScrollBar()->setValue(m_transcript->verticalScrollBar()->maximum());
}

void MainWindow::updateError() {
    const QString error = m_pipeline.lastErrorDescription();
    m_errorText->setText(error);
    m_banner->setVisible(!error.isEmpty());
}

void MainWindow::copyWithFeedback(QPushButton* button, const QString& label, const QString& text) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(text);
    button->setText(QStringLiteral("Copied"));
    QTimer::singleShot(1200, button, [button, label] { button->setText(label); });
}

} // namespace murmurly
