#include "app/TranscriptBox.h"

#include "app/CopyButton.h"
#include "app/DesignSystem.h"
#include "app/GlassMorphismModifier.h"
#include "app/TranscriptTextView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace murmurly {

TranscriptBox::TranscriptBox(const QString& title, const QString& placeholder, QWidget* parent)
    : QWidget(parent)
    , m_placeholder(placeholder) {
    using namespace DesignSystem;
    GlassMorphismModifier{.cornerRadius = 16, .fillOpacity = 0.06, .strokeOpacity = 0.12}.apply(*this);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(4, 10, 4, 4);
    column->setSpacing(0);
    auto* header = new QHBoxLayout;
    header->setContentsMargins(12, 0, 8, 0);
    m_title = new QLabel(title);
    QFont titleFont = Fonts::caption();
    titleFont.setWeight(QFont::DemiBold);
    m_title->setFont(titleFont);
    m_title->setStyleSheet(QStringLiteral("color: %1;").arg(Colors::css(Colors::white(0.6))));
    header->addWidget(m_title);
    header->addStretch(1);
    m_copy = new CopyButton(QStringLiteral("Copy"));
    header->addWidget(m_copy);
    column->addLayout(header);

    m_view = new TranscriptTextView;
    column->addWidget(m_view, 1);
    refresh();
}

void TranscriptBox::setText(const QString& text) {
    m_text = text;
    refresh();
}

void TranscriptBox::setTitle(const QString& title) {
    m_title->setText(title);
}

QString TranscriptBox::title() const {
    return m_title->text();
}

void TranscriptBox::setPlaceholder(const QString& placeholder) {
    m_placeholder = placeholder;
    refresh();
}

void TranscriptBox::refresh() {
    m_copy->setCopyText(m_text);
    const bool empty = m_text.isEmpty();
    m_view->setContent(empty ? m_placeholder : m_text, empty, !empty);
}

} // namespace murmurly
