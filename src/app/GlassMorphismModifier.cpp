#include "app/GlassMorphismModifier.h"

#include <QEvent>
#include <QGraphicsDropShadowEffect>
#include <QPainter>
#include <QPainterPath>
#include <QWidget>

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
            m_look.paint(painter, m_widget.rect());
        }
        return false;
    }

private:
    GlassMorphismModifier m_look;
    QWidget& m_widget;
};

} // namespace

void GlassMorphismModifier::paint(QPainter& painter, const QRectF& rect) const {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QColor fill(Qt::white);
    fill.setAlphaF(float(fillOpacity));
    QColor stroke(Qt::white);
    stroke.setAlphaF(float(strokeOpacity));
    // Half a pixel in, so the 1-pixel outline falls on whole pixels and is not cut by the edge.
    const QRectF card = rect.adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(QPen(stroke, 1));
    painter.setBrush(fill);
    painter.drawRoundedRect(card, cornerRadius, cornerRadius);
    painter.restore();
}

void GlassMorphismModifier::apply(QWidget& widget) const {
    widget.installEventFilter(new CardPainter(*this, widget));
    if (shadowRadius > 0) {
        auto* shadow = new QGraphicsDropShadowEffect(&widget);
        shadow->setColor(QColor(0, 0, 0, 77));
        shadow->setBlurRadius(shadowRadius);
        shadow->setOffset(0, shadowY);
        widget.setGraphicsEffect(shadow);
    }
}

} // namespace murmurly
