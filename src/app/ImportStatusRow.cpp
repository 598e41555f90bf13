#include "app/ImportStatusRow.h"

#include "app/AppModel.h"
#include "app/DesignSystem.h"
#include "app/MainWindow.h"
#include "history/FileImport.h"

#include <QAction>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QUrl>

namespace murmurly {

namespace {

using namespace DesignSystem;

// A failure looks like the window's error banner; the bar has the accent colour of the buttons.
QString rowStyle() {
    return QStringLiteral(
               "#importRow[failed=\"true\"] { background: %1; border: 1px solid %2; border-radius: 10px; }"
               "QProgressBar { background: %3; border: none; border-radius: 3px; max-height: 6px; "
               "min-width: 90px; }"
               "QProgressBar::chunk { background: %4; border-radius: 3px; }")
        .arg(Colors::css(Colors::errorFill()), Colors::css(Colors::errorStroke()),
             Colors::css(Colors::white(0.12)), Colors::css(Colors::accent()));
}

// The first local file a drag carries, if any.
QString droppedFile(const QMimeData* data) {
    if (data == nullptr)
        return {};
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile())
            return url.toLocalFile();
    }
    return {};
}

} // namespace

ImportStatusRow::ImportStatusRow(AppModel& model, QWidget* parent)
    : QFrame(parent)
    , m_import(model.fileImport()) {
    setObjectName(QStringLiteral("importRow"));
    setStyleSheet(rowStyle());
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(10, 4, 4, 4);
    row->setSpacing(10);
    m_message = new QLabel;
    m_message->setTextFormat(Qt::PlainText);
    m_message->setWordWrap(true);
    m_message->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_message->setFont(Fonts::footnote());
    row->addWidget(m_message, 1);
    m_bar = new QProgressBar;
    m_bar->setRange(0, 100);
    m_bar->setTextVisible(false);
    row->addWidget(m_bar);
    m_percent = new QLabel;
    m_percent->setMinimumWidth(m_percent->fontMetrics().horizontalAdvance(QStringLiteral("100%")));
    m_percent->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    row->addWidget(m_percent);
    m_cancel = new QPushButton(QStringLiteral("Cancel"));
    setButtonStyle(*m_cancel, ButtonStyle::bordered);
    row->addWidget(m_cancel);
    m_dismiss = new QPushButton(QStringLiteral("Dismiss"));
    setButtonStyle(*m_dismiss, ButtonStyle::bordered);
    row->addWidget(m_dismiss);
    connect(m_cancel, &QPushButton::clicked, &m_import, &FileImport::cancel);
    connect(m_dismiss, &QPushButton::clicked, this, [this] { showFailure({}); });
    connect(&m_import, &FileImport::failed, this, &ImportStatusRow::showFailure);
    connect(&m_import, &FileImport::isActiveChanged, this, [this] {
        // A new import replaces whatever the last one left on display.
        if (m_import.isActive())
            m_failure.clear();
        update();
    });
    connect(&m_import, &FileImport::progressChanged, this, &ImportStatusRow::update);
    update();
}

void ImportStatusRow::attach(MainWindow& window, AppModel& model) {
    window.workingColumn()->insertWidget(1, new ImportStatusRow(model));
    auto* button = new QPushButton(QStringLiteral("Transcribe File\u2026"));
    setButtonStyle(*button, ButtonStyle::bordered);
    button->setToolTip(
        QStringLiteral("Transcribe an audio or video file (Ctrl+O); or drop one on the window"));
    window.topBarActions()->insertWidget(0, button);
    QObject::connect(button, &QPushButton::clicked, &window,
                     [&window, &model] { model.transcribeFile(&window); });
    auto* shortcut = new QAction(button->text(), &window);
    shortcut->setShortcut(QKeySequence::Open);
    window.addAction(shortcut);
    QObject::connect(shortcut, &QAction::triggered, &window,
                     [&window, &model] { model.transcribeFile(&window); });
    new FileDropImport(model, window);
}

QString ImportStatusRow::statusText(const FileImport& import) {
    if (!import.isActive())
        return {};
    return QStringLiteral("Importing\u2026 %1%").arg(int(import.progress() * 100));
}

void ImportStatusRow::showFailure(const QString& message) {
    m_failure = message;
    update();
}

void ImportStatusRow::update() {
    const bool active = m_import.isActive();
    const bool failed = !active && !m_failure.isEmpty();
    const int percent = int(m_import.progress() * 100);
    m_message->setText(active ? QStringLiteral("Importing \u201C%1\u201D\u2026").arg(m_import.fileName())
                              : m_failure);
    m_bar->setValue(percent);
    m_percent->setText(QStringLiteral("%1%").arg(percent));
    m_bar->setVisible(active);
    m_percent->setVisible(active);
    m_cancel->setVisible(active);
    m_dismiss->setVisible(failed);
    setVisible(active || failed);
    if (property("failed").toBool() != failed) {
        setProperty("failed", failed);
        // Dynamic properties take part in style-sheet selectors only after a re-polish.
        style()->unpolish(this);
        style()->polish(this);
    }
}

FileDropImport::FileDropImport(AppModel& model, QWidget& window)
    : QObject(&window)
    , m_model(model) {
    window.setAcceptDrops(true);
    window.installEventFilter(this);
}

bool FileDropImport::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
        auto* drag = static_cast<QDragMoveEvent*>(event);
        if (!droppedFile(drag->mimeData()).isEmpty()) {
            drag->acceptProposedAction();
            return true;
        }
    } else if (event->type() == QEvent::Drop) {
        auto* drop = static_cast<QDropEvent*>(event);
        const QString file = droppedFile(drop->mimeData());
        if (!file.isEmpty()) {
            drop->acceptProposedAction();
            m_model.importFile(file);
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace murmurly
