#pragma once

#include <QString>
#include <QWidget>

class QLabel;

namespace murmurly {

class CopyButton;
class TranscriptTextView;

// A titled card holding a transcript: the title and a "Copy" button in a header row, the text below.
// An empty text shows the placeholder (dimmed, not scrolled); Copy always copies the real text,
// so with nothing to show it empties the clipboard.
class TranscriptBox : public QWidget {
    Q_OBJECT
public:
    TranscriptBox(const QString& title, const QString& placeholder, QWidget* parent = nullptr);

    QString text() const { return m_text; }
    void setText(const QString& text);

    void setTitle(const QString& title);
    QString title() const;
    void setPlaceholder(const QString& placeholder);
    QString placeholder() const { return m_placeholder; }

    CopyButton* copyButton() const { return m_copy; }
    TranscriptTextView* textView() const { return m_view; }

private:
    void refresh();

    QString m_text;
    QString m_placeholder;
    QLabel* m_title = nullptr;
    CopyButton* m_copy = nullptr;
    TranscriptTextView* m_view = nullptr;
};

} // namespace murmurly
