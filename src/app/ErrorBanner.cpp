#include "app/ErrorBanner.h"

#include "app/CopyButton.h"
#include "app/DesignSystem.h"
#include "app/SymbolIcon.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>

namespace murmurly {

ErrorBanner::ErrorBanner(QWidget* parent)
    : QFrame(parent) {
    using namespace DesignSystem;
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(12, 9, 10, 9);
    row->setSpacing(10);
    auto* icon = new QLabel;
    icon->setPixmap(
        SymbolIcon::icon(QStringLiteral("exclamationmark.triangle.fill"), Colors::yellow()).pixmap(16));
    row->addWidget(icon, 0, Qt::AlignTop);
    m_message = new QLabel;
    m_message->setFont(Fonts::footnote());
    m_message->setStyleSheet(QStringLiteral("color: white;"));
    m_message->setWordWrap(true);
    m_message->setTextFormat(Qt::PlainText);
    m_message->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    row->addWidget(m_message, 1);
    m_copy = new CopyButton(QStringLiteral("Copy Error"));
    row->addWidget(m_copy, 0, Qt::AlignTop);
}

QString ErrorBanner::message() const {
    return m_message->text();
}

void ErrorBanner::setMessage(const QString& message) {
    m_message->setText(message);
    m_copy->setCopyText(message);
}

void ErrorBanner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(DesignSystem::Colors::errorStroke(), 1));
    painter.setBrush(DesignSystem::Colors::errorFill());
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 12, 12);
}

} // namespace murmurly
