#pragma once

#include <QColor>
#include <QIcon>
#include <QString>
#include <QStringList>

class QPainter;
class QRectF;

namespace murmurly {

// The windows' symbols, drawn as vector paths so that they stay sharp at any size and scale and
// take any colour (white on the dark windows). Named after the symbols the layouts call for:
//   waveform, waveform.circle, waveform.circle.fill, mic.fill, speaker.wave.2.fill,
//   speaker.wave.3.fill, checkmark.circle.fill, chevron.right, clock, clock.fill, gearshape.fill,
//   pencil, trash, exclamationmark.triangle.fill, arrow.clockwise
// An unknown name draws nothing.
class SymbolIcon {
public:
    SymbolIcon() = delete;

    static const QStringList& names();

    // Draws `name` centred in `rect` (square, the shorter side) in `colour`.
    static void paint(QPainter& painter, const QRectF& rect, const QString& name, const QColor& colour);

    // An icon that draws the symbol at whatever size and pixel ratio it is asked for; disabled
    // buttons get it at 40 % opacity.
    static QIcon icon(const QString& name, const QColor& colour = Qt::white);
};

} // namespace murmurly
