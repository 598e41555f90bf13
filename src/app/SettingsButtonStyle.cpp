#include "app/SettingsButtonStyle.h"

#include "app/DesignSystem.h"
#include "app/SymbolIcon.h"

#include <QPainter>
#include <QVariantAnimation>

namespace murmurly {

SettingsButtonStyle::SettingsButtonStyle(const QString& systemImage, QWidget* parent)
    : QAbstractButton(parent)
    , m_systemImage(systemImage)
    , m_press(new QVariantAnimation(this)) {
    setFixedSize(sizeHint());
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setAttribute(Qt::WA_Hover);
    m_press->setDuration(100);
    m_press->setEasingCurve(QEasingCurve::InOutQuad);
    connect(m_press, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        m_pressProgress = value.toReal();
        update();
    });
    connect(this, &QAbstractButton::pressed, this, [this] { animatePress(true); });
    connect(this, &QAbstractButton::released, this, [this] { animatePress(false); });
}

void SettingsButtonStyle::setSystemImage(const QString& systemImage) {
    m_systemImage = systemImage;
    update();
}

void SettingsButtonStyle::animatePress(bool down) {
    m_press->stop();
    m_press->setStartValue(m_pressProgress);
    m_press->setEndValue(down ? 1.0 : 0.0);
    m_press->start();
}

void SettingsButtonStyle::paintEvent(QPaintEvent*) {
    using namespace DesignSystem;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(1.0 - 0.4 * m_pressProgress);
    const qreal scale = 1.0 - 0.05 * m_pressProgress;
    const QPointF centre = QRectF(rect()).center();
    painter.translate(centre);
    painter.scale(scale, scale);
    painter.translate(-centre);

    const QRectF disc = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(QPen(Colors::white(hasFocus() ? 0.45 : 0.15), 1));
    painter.setBrush(Colors::white(underMouse() ? 0.18 : 0.12));
    painter.drawEllipse(disc);
    SymbolIcon::paint(painter, QRectF(centre - QPointF(8, 8), QSizeF(16, 16)), m_systemImage, Qt::white);
}

} // namespace murmurly
