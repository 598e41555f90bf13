#include "app/LevelBar.h"

#include <QAccessible>
#include <QLinearGradient>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace murmurly {

LevelBar::LevelBar(QWidget* parent)
    : QWidget(parent) {
    setFixedSize(sizeHint());
    setAccessibleName(QStringLiteral("Audio level"));
    setAccessibleDescription(QString::asprintf("%.2f", 0.0));
}

void LevelBar::setLevel(float level) {
    // The level arrives from the sound path; a NaN or an overshoot must not distort the drawing.
    const float clamped = std::isfinite(level) ? std::clamp(level, 0.0f, 1.0f) : 0.0f;
    if (clamped == m_level)
        return;
    // Levels arrive about twenty times a second while recording; a change that moves the bar by
    // less than a pixel is not worth a repaint of the translucent layers beneath it.
    const bool visible = barWidth(clamped) != barWidth(m_level);
    m_level = clamped;
    setAccessibleDescription(QString::asprintf("%.2f", double(m_level)));
    if (visible)
        update();
}

int LevelBar::barWidth(float level) const {
    return std::max(int(std::lround(width() * double(level))), 4);
}

void LevelBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setOpacity(0.8);
    const QRectF track = rect();
    const qreal radius = track.height() / 2.0;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 31));
    p.drawRoundedRect(track, radius, radius);

    QLinearGradient gradient(track.topLeft(), track.topRight());
    gradient.setColorAt(0.0, QColor(52, 199, 89));
    gradient.setColorAt(0.5, QColor(255, 204, 0));
    gradient.setColorAt(1.0, QColor(255, 59, 48));
    p.setBrush(gradient);
    p.drawRoundedRect(QRectF(track.left(), track.top(), barWidth(m_level), track.height()), radius, radius);
}

} // namespace murmurly
