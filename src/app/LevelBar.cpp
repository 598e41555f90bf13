#include "app/LevelBar.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QLinearGradient>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace murmurly {

namespace {

// Screen readers hear the bar as a value between 0 and 1, read out with two decimals.
class LevelBarAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit LevelBarAccessible(LevelBar* bar)
        : QAccessibleWidget(bar, QAccessible::Indicator, QStringLiteral("Audio level")) {}

    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Value)
            return LevelBar::accessibleValue(bar()->level());
        return QAccessibleWidget::text(kind);
    }
    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }
    QVariant currentValue() const override { return double(bar()->level()); }
    void setCurrentValue(const QVariant&) override {}
    QVariant maximumValue() const override { return 1.0; }
    QVariant minimumValue() const override { return 0.0; }
    QVariant minimumStepSize() const override { return 0.01; }

private:
    LevelBar* bar() const { return static_cast<LevelBar*>(widget()); }
};

QAccessibleInterface* levelBarAccessibleFactory(const QString&, QObject* object) {
    if (auto* bar = qobject_cast<LevelBar*>(object))
        return new LevelBarAccessible(bar);
    return nullptr;
}

} // namespace

LevelBar::LevelBar(QWidget* parent)
    : QWidget(parent) {
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(levelBarAccessibleFactory);
        return true;
    }();
    Q_UNUSED(factoryInstalled);
    setFixedSize(sizeHint());
    setAccessibleName(QStringLiteral("Audio level"));
}

QString LevelBar::accessibleValue(float level) {
    return QString::asprintf("%.2f", double(level));
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
    if (QAccessible::isActive()) {
        QAccessibleValueChangeEvent event(this, double(m_level));
        QAccessible::updateAccessibility(&event);
    }
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
