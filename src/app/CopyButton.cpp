#include "app/CopyButton.h"

#include "app/DesignSystem.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QTimer>

namespace murmurly {

CopyButton::CopyButton(const QString& label, QWidget* parent)
    : QPushButton(label, parent)
    , m_label(label) {
    using namespace DesignSystem;
    setFont(Fonts::caption2());
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setStyleSheet(
        QStringLiteral("QPushButton { color: white; background: %1; border: none; border-radius: 6px;"
                       " padding: 3px 9px; }"
                       "QPushButton:hover { background: %2; }"
                       "QPushButton:pressed { background: %3; }")
            .arg(Colors::css(Colors::white(0.12)), Colors::css(Colors::white(0.2)),
                 Colors::css(Colors::white(0.06))));
    connect(this, &QPushButton::clicked, this, &CopyButton::copy);
}

void CopyButton::setLabel(const QString& label) {
    m_label = label;
    if (!m_copied)
        setText(label);
}

void CopyButton::copy() {
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(m_text);
    setCopied(true);
    QTimer::singleShot(copiedDuration, this, [this] { setCopied(false); });
}

void CopyButton::setCopied(bool copied) {
    m_copied = copied;
    setText(copied ? QStringLiteral("Copied") : m_label);
}

} // namespace murmurly
