#pragma once

#include <QMargins>
#include <QtGlobal>

class QPainter;
class QRectF;
class QWidget;

namespace murmurly {

// The translucent card look shared by the windows' panels: a rounded rectangle filled with white at
// `fillOpacity`, outlined 1 pixel wide in white at `strokeOpacity`, and, unless `shadowRadius` is 0,
// a soft black shadow at 30 % blurred by `shadowRadius` and moved down by `shadowY`.
struct GlassMorphismModifier {
    qreal cornerRadius = 16;
    qreal fillOpacity = 0.08;
    qreal strokeOpacity = 0.12;
    qreal shadowRadius = 0;
    qreal shadowY = 0;

    // Draws the card into `rect` (the outline is kept inside it) and its shadow around it.
    void paint(QPainter& painter, const QRectF& rect) const;

    // The room the shadow needs around the card: none without a shadow.
    QMargins shadowMargins() const;

    // Gives `widget` the look for good: the card is painted beneath the widget's own drawing and its
    // children, in the widget's contents rectangle; the widget's contents margins are set to
    // shadowMargins(), so that the shadow falls inside the widget. Call it once per widget.
    void apply(QWidget& widget) const;
};

} // namespace murmurly
