#pragma once

#include <QPushButton>
#include <QString>

#include <chrono>

namespace murmurly {

// A small pill button that puts a text on the clipboard and says "Copied" for a moment. Each press
// copies (an empty text too, replacing what the clipboard held) and schedules its own return to
// the label 1.2 s later; a second press within that time does not push back the first return.
class CopyButton : public QPushButton {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds copiedDuration{1200};

    explicit CopyButton(const QString& label, QWidget* parent = nullptr);

    QString label() const { return m_label; }
    void setLabel(const QString& label);

    // What a press copies.
    QString copyText() const { return m_text; }
    void setCopyText(const QString& text) { m_text = text; }

    bool isCopied() const { return m_copied; }

private:
    void copy();
    void setCopied(bool copied);

    QString m_label;
    QString m_text;
    bool m_copied = false;
};

} // namespace murmurly
