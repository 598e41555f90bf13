#include "app/MenuBarLabel.h"

#include "app/MenuBarContent.h"
#include "app/MenuBarIcon.h"
#include "pipeline/TranscriptionPipeline.h"

#include <QSystemTrayIcon>
#include <QTimer>

namespace murmurly {

namespace {
// Tooltips and notification bubbles show a few lines at most; the full text is in the window.
constexpr qsizetype maxPreviewChars = 240;

QString preview(const QString& text) {
    const QString trimmed = text.trimmed();
    if (trimmed.size() <= maxPreviewChars)
        return trimmed;
    return trimmed.left(maxPreviewChars - 1).trimmed() + QChar(0x2026);
}
} // namespace

MenuBarLabel::MenuBarLabel(TranscriptionPipeline& pipeline, QSystemTrayIcon& tray, const MenuBarIcon& icon,
                           QObject* parent)
    : QObject(parent)
    , m_pipeline(pipeline)
    , m_tray(tray)
    , m_icon(icon)
    , m_wasTranscribing(pipeline.isTranscribing()) {
    connect(&m_pipeline, &TranscriptionPipeline::isRunningChanged, this, &MenuBarLabel::updateIcon);
    connect(&m_pipeline, &TranscriptionPipeline::isRunningChanged, this, &MenuBarLabel::updateToolTip);
    connect(&m_pipeline, &TranscriptionPipeline::isTranscribingChanged, this, &MenuBarLabel::updateToolTip);
    connect(&m_pipeline, &TranscriptionPipeline::isTranscribingChanged, this,
            &MenuBarLabel::transcribingChanged);
    connect(&m_pipeline, &TranscriptionPipeline::transcriptTextChanged, this, &MenuBarLabel::updateToolTip);
    updateIcon();
    updateToolTip();
}

QString MenuBarLabel::toolTip(const QString& status, const QString& transcript) {
    QString tip = QStringLiteral("Murmurly \u2014 ") + status;
    const QString text = preview(transcript);
    if (!text.isEmpty())
        tip += QStringLiteral("\n\n") + text;
    return tip;
}

void MenuBarLabel::updateIcon() {
    const bool recording = m_icon.image() ? false : m_pipeline.isRunning();
    // A custom image never changes, and re-setting an identical icon makes some trays flicker.
    if (m_iconSet && recording == m_showsRecording)
        return;
    m_showsRecording = recording;
    m_iconSet = true;
    m_tray.setIcon(m_icon.icon(recording));
}

void MenuBarLabel::updateToolTip() {
    const QString status = MenuBarContent::statusText(m_pipeline.isRunning(), m_pipeline.isTranscribing());
    m_tray.setToolTip(toolTip(status, m_pipeline.transcriptText()));
}

void MenuBarLabel::transcribingChanged() {
    const bool transcribing = m_pipeline.isTranscribing();
    if (m_wasTranscribing && !transcribing) {
        // Starting while a run is in progress cancels it and at once begins another run or a
        // recording; only a run that is still over once those signals have settled has ended.
        QTimer::singleShot(0, this, &MenuBarLabel::notifyIfRunEnded);
    }
    m_wasTranscribing = transcribing;
}

void MenuBarLabel::notifyIfRunEnded() {
    if (m_pipeline.isTranscribing() || m_pipeline.isRunning())
        return;
    const QString error = m_pipeline.lastErrorDescription();
    QString title;
    QString message;
    QSystemTrayIcon::MessageIcon kind = QSystemTrayIcon::Information;
    if (!error.isEmpty()) {
        title = QStringLiteral("Murmurly");
        message = error;
        kind = QSystemTrayIcon::Warning;
    } else {
        message = preview(m_pipeline.transcriptText());
        if (message.isEmpty())
            return;
        title = QStringLiteral("Transcript ready");
    }
    m_tray.showMessage(title, message, kind);
    emit notified(title, message);
}

} // namespace murmurly
