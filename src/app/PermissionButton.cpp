#include "app/PermissionButton.h"

#include "app/DesignSystem.h"
#include "app/SymbolIcon.h"

#include <QFontMetrics>
#include <QPainter>

namespace murmurly {

namespace {
constexpr int discSize = 44;
constexpr int rowPadding = 10;
constexpr int trailingSize = 18;
} // namespace

PermissionButton::PermissionButton(const QString& title, const QString& systemImage, QWidget* parent)
    : QAbstractButton(parent)
    , m_title(title)
    , m_systemImage(systemImage) {
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover);
    setAccessibleName(title);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void PermissionButton::setSubtitle(const QString& subtitle) {
    m_subtitle = subtitle;
    setAccessibleDescription(subtitle);
    update();
}

void PermissionButton::setGranted(bool granted) {
    m_isGranted = granted;
    update();
}

QString PermissionButton::trailingSymbol() const {
    return m_isGranted ? QStringLiteral("checkmark.circle.fill") : QStringLiteral("chevron.right");
}

QColor PermissionButton::trailingColour() const {
    return m_isGranted ? DesignSystem::Colors::green() : DesignSystem::Colors::white(0.7);
}

QSize PermissionButton::sizeHint() const {
    const QFontMetrics title(DesignSystem::Fonts::headline());
    const QFontMetrics subtitle(DesignSystem::Fonts::caption());
    const int textWidth = std::max(title.horizontalAdvance(m_title), subtitle.horizontalAdvance(m_subtitle));
    return {rowPadding * 2 + discSize + 14 + textWidth + 14 + trailingSize, discSize + rowPadding * 2};
}

QSize PermissionButton::minimumSizeHint() const {
    return {rowPadding * 2 + discSize + 14 + 80 + trailingSize, discSize + rowPadding * 2};
}

void PermissionButton::paintEvent(QPaintEvent*) {
    using namespace DesignSystem;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF row = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    // Flat, but with a faint plate so that the row reads as something to press.
    const qreal plate = isDown() ? 0.10 : underMouse() ? 0.07 : 0.04;
    painter.setPen(QPen(Colors::white(0.08), 1));
    painter.setBrush(Colors::white(plate));
    painter.drawRoundedRect(row, 14, 14);

    const QRectF disc(rowPadding, (height() - discSize) / 2.0, discSize, discSize);
    QColor discFill = m_isGranted ? Colors::green() : QColor(Qt::white);
    discFill.setAlphaF(m_isGranted ? 0.2f : 0.12f);
    painter.setPen(Qt::NoPen);
    painter.setBrush(discFill);
    painter.drawEllipse(disc);
    SymbolIcon::paint(painter, QRectF(disc.center() - QPointF(10, 10), QSizeF(20, 20)), m_systemImage,
                      Qt::white);

    const QRectF trailing(width() - rowPadding - 4 - trailingSize, (height() - trailingSize) / 2.0,
                          trailingSize, trailingSize);
    SymbolIcon::paint(painter, trailing, trailingSymbol(), trailingColour());

    const qreal textLeft = disc.right() + 14;
    const qreal textWidth = trailing.left() - 12 - textLeft;
    const QFont titleFont = Fonts::headline();
    const QFont subtitleFont = Fonts::caption();
    const QFontMetricsF titleMetrics(titleFont);
    const QFontMetricsF subtitleMetrics(subtitleFont);
    const qreal textHeight = titleMetrics.height() + 2 + subtitleMetrics.height();
    const qreal top = (height() - textHeight) / 2.0;
    painter.setFont(titleFont);
    painter.setPen(Qt::white);
    painter.drawText(QRectF(textLeft, top, textWidth, titleMetrics.height()),
                     Qt::AlignLeft | Qt::AlignVCenter,
                     titleMetrics.elidedText(m_title, Qt::ElideRight, textWidth));
    painter.setFont(subtitleFont);
    painter.setPen(Colors::white(0.7));
    painter.drawText(QRectF(textLeft, top + titleMetrics.height() + 2, textWidth, subtitleMetrics.height()),
                     Qt::AlignLeft | Qt::AlignVCenter,
                     subtitleMetrics.elidedText(m_subtitle, Qt::ElideRight, textWidth));
}

} // namespace murmurly
