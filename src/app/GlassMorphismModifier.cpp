#include "app/GlassMorphismModifier.h"

#include <QEvent>
#include <QPainter>
#include <QPainterPath>

#include <QWidget>
#include <algorithm>
#include <cmath>

namespace murmurly {

namespace {

// Paints the card when its widget is about to paint, so the widget's own drawing lands on top.
class CardPainter : public QObject {
public:
    CardPainter(const GlassMorphismModifier& look, QWidget& widget)
        : QObject(&widget)
        , m_look(look)
        , m_widget(widget) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &m_widget && event->type() == QEvent::Paint) {
            QPainter painter(&m_widget);
            m_look.paint(painter, m_widget.contentsRect());
        }
        return false;
    }

private:
    GlassMorphismModifier m_look;
    QWidget& m_widget;
};

} // namespace

QMargins GlassMorphismModifier::shadowMargins() const {
    if (shadowRadius <= 0)
        return {};
    const int extent = int(std::ceil(shadowRadius / 2)) + 1;
    const int down = int(std::ceil(shadowY));
    return {extent, std::max(0, extent - down), extent, extent + down};
}

void GlassMorphismModifier::paint(QPainter& painter, const QRectF& rect) const {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    // Half a pixel in, so the 1-pixel outline falls on whole pixels and is not cut by the edge.
    const QRectF card = rect.adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath shape;
    shape.addRoundedRect(card, cornerRadius, cornerRadius);
    if (shadowRadius > 0) {
        // A soft shadow from stacked, ever wider translucent outlines, which add up to 30 % black
        // under the card's edge and fade out over the blur radius. It is kept off the card itself,
        // whose fill is translucent, and drawn only in the margins that apply() keeps free.
        QPainterPath outside;
        outside.addRect(rect.adjusted(-shadowRadius, -shadowRadius, shadowRadius, shadowRadius + shadowY));
        painter.setClipPath(outside.subtracted(shape));
        painter.setPen(Qt::NoPen);
        const int steps = std::max(1, int(shadowRadius / 2));
        for (int i = steps; i >= 1; --i) {
            const qreal spread = shadowRadius / 2 * i / steps;
            painter.setBrush(QColor(0, 0, 0, int(std::round(77.0 / steps))));
            painter.drawRoundedRect(card.translated(0, shadowY).adjusted(-spread, -spread, spread, spread),
                                    cornerRadius + spread, cornerRadius + spread);
        }
        painter.setClipping(false);
    }
    QColor fill(Qt::white);
    fill.setAlphaF(float(fillOpacity));
    QColor stroke(Qt::white);
    stroke.setAlphaF(float(strokeOpacity));
    painter.setPen(QPen(stroke, 1));
    painter.setBrush(fill);
    painter.drawPath(shape);
    painter.restore();
}

void GlassMorphismModifier::apply(QWidget& widget) const {
    widget.installEventFilter(new CardPainter(*this, widget));
    // The shadow is drawn inside the widget, around the card: the widget keeps margins free for it.
    widget.setContentsMargins(shadowMargins());
}

} // namespace murmurly
