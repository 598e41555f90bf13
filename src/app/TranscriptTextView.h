#pragma once

#include <QPlainTextEdit>

namespace murmurly {

// A read-only, selectable, wrapping text area without frame or background for transcripts:
// monospaced, 12 pixels of inset on every side, a scroll bar only when the text does not fit.
// A growing text keeps its end in view; a text that shrinks (a new session clearing the last one)
// stays where it is, and a placeholder (drawn dimmer) never scrolls.
class TranscriptTextView : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit TranscriptTextView(QWidget* parent = nullptr);

    // Shows `text`; dimmed when it is a placeholder; follows the end if `autoScroll` and the
    // text has not shrunk since the last call.
    void setContent(const QString& text, bool isPlaceholder, bool autoScroll);

    bool isPlaceholder() const { return m_isPlaceholder; }

private:
    bool m_isPlaceholder = false;
    qsizetype m_previousTextCount = 0;
};

} // namespace murmurly
