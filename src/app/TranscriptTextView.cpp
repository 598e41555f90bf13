#include "app/TranscriptTextView.h"

#include "app/DesignSystem.h"

#include <QScrollBar>

namespace murmurly {

TranscriptTextView::TranscriptTextView(QWidget* parent)
    : QPlainTextEdit(parent) {
    setReadOnly(true);
    setUndoRedoEnabled(false);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setFont(DesignSystem::Fonts::monospace());
    document()->setDocumentMargin(12);
    viewport()->setAutoFillBackground(false);
    m_isPlaceholder = true; // differs from the first content, so that its colour is set
    setContent(QString(), false, false);
}

void TranscriptTextView::setContent(const QString& text, bool isPlaceholder, bool autoScroll) {
    if (toPlainText() != text)
        setPlainText(text);
    if (isPlaceholder != m_isPlaceholder) {
        m_isPlaceholder = isPlaceholder;
        // The view's own sheet, so that the colour holds inside a window whose sheet colours all text.
        setStyleSheet(
            QStringLiteral("QPlainTextEdit { background: transparent; border: none; color: %1;"
                           " selection-background-color: rgba(10, 132, 255, 150); }")
                .arg(DesignSystem::Colors::css(DesignSystem::Colors::white(isPlaceholder ? 0.55 : 1.0))));
    }
    if (autoScroll && text.size() >= m_previousTextCount)
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    m_previousTextCount = text.size();
}

} // namespace murmurly
