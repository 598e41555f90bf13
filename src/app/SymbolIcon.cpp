#include "app/SymbolIcon.h"

#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QPixmap>

#include <cmath>
#include <functional>
#include <map>

namespace murmurly {

namespace {

// Every symbol is designed on a 24 × 24 grid and built as one filled path, so that the cut-outs
// of the filled variants (the waveform in its disc, the check in its circle) are real holes that
// show the background, whatever colour that is.

QPainterPath stroked(const QPainterPath& path, qreal width) {
    QPainterPathStroker stroker;
    stroker.setWidth(width);
    stroker.setCapStyle(Qt::RoundCap);
    stroker.setJoinStyle(Qt::RoundJoin);
    return stroker.createStroke(path).simplified();
}

QPainterPath polyline(std::initializer_list<QPointF> points, qreal width) {
    QPainterPath path;
    for (const QPointF& point : points) {
        if (path.elementCount() == 0)
            path.moveTo(point);
        else
            path.lineTo(point);
    }
    return stroked(path, width);
}

QPainterPath disc(QPointF centre, qreal radius) {
    QPainterPath path;
    path.addEllipse(centre, radius, radius);
    return path;
}

QPainterPath ring(QPointF centre, qreal radius, qreal width) {
    QPainterPath path;
    path.addEllipse(centre, radius, radius);
    return stroked(path, width);
}

// An arc of the circle around `centre`, angles in degrees counter-clockwise from three o'clock.
QPainterPath arc(QPointF centre, qreal radius, qreal start, qreal sweep, qreal width) {
    const QRectF box(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
    QPainterPath path;
    path.arcMoveTo(box, start);
    path.arcTo(box, start, sweep);
    return stroked(path, width);
}

QPainterPath waveformBars(std::initializer_list<qreal> xs, std::initializer_list<qreal> heights,
                          qreal width) {
    QPainterPath bars;
    auto height = heights.begin();
    for (qreal x : xs) {
        const qreal h = *height++;
        bars.addRoundedRect(QRectF(x - width / 2, 12 - h / 2, width, h), width / 2, width / 2);
    }
    return bars;
}

QPainterPath circleWaveform() {
    return waveformBars({7.2, 9.6, 12, 14.4, 16.8}, {3.5, 7.5, 11, 7, 4}, 1.6);
}

QPainterPath speaker(int waves) {
    QPainterPath body;
    body.moveTo(2.5, 9);
    body.lineTo(6, 9);
    body.lineTo(10.5, 4.8);
    body.lineTo(10.5, 19.2);
    body.lineTo(6, 15);
    body.lineTo(2.5, 15);
    body.closeSubpath();
    QPainterPath path = body.united(stroked(body, 1.4));
    for (int i = 0; i < waves; ++i)
        path = path.united(arc({10.5, 12}, 4 + 3.3 * i, -48, 96, 1.8));
    return path;
}

QPainterPath clockHands(qreal width) {
    return polyline({{12, 6.8}, {12, 12}, {15.8, 14.2}}, width);
}

QPainterPath gear() {
    QPainterPath path = disc({12, 12}, 7.8);
    QPainterPath tooth;
    tooth.addRoundedRect(QRectF(-2.3, -11, 4.6, 5), 1.2, 1.2);
    for (int i = 0; i < 8; ++i)
        path = path.united(QTransform().translate(12, 12).rotate(45 * i).map(tooth));
    return path.subtracted(disc({12, 12}, 3.3));
}

QPainterPath pencil() {
    QPainterPath outline;
    outline.moveTo(-10, 0);
    outline.lineTo(-6, -2.6);
    outline.lineTo(8.5, -2.6);
    outline.quadTo(10.5, -2.6, 10.5, 0);
    outline.quadTo(10.5, 2.6, 8.5, 2.6);
    outline.lineTo(-6, 2.6);
    outline.closeSubpath();
    outline.moveTo(-6, -2.6);
    outline.lineTo(-6, 2.6);
    outline.moveTo(6.5, -2.6);
    outline.lineTo(6.5, 2.6);
    return QTransform().translate(12, 12).rotate(-45).map(stroked(outline, 1.6));
}

QPainterPath trash() {
    QPainterPath path = polyline({{3.8, 6.5}, {20.2, 6.5}}, 1.7);
    path = path.united(polyline({{9.3, 6.3}, {9.3, 3.8}, {14.7, 3.8}, {14.7, 6.3}}, 1.6));
    path = path.united(polyline({{6.2, 6.8}, {7.3, 20.2}, {16.7, 20.2}, {17.8, 6.8}}, 1.7));
    path = path.united(polyline({{10.2, 10}, {10.2, 16.8}}, 1.5));
    return path.united(polyline({{13.8, 10}, {13.8, 16.8}}, 1.5));
}

QPainterPath warningTriangle() {
    QPainterPath triangle;
    triangle.moveTo(12, 3.2);
    triangle.lineTo(21.3, 19.8);
    triangle.lineTo(2.7, 19.8);
    triangle.closeSubpath();
    QPainterPath path = triangle.united(stroked(triangle, 2.4));
    QPainterPath mark;
    mark.addRoundedRect(QRectF(10.9, 8.4, 2.2, 7), 1.1, 1.1);
    mark.addEllipse(QPointF(12, 17.6), 1.25, 1.25);
    return path.subtracted(mark);
}

QPainterPath arrowClockwise() {
    const QPointF centre(12, 12.5);
    const qreal radius = 7.5;
    QPainterPath path = arc(centre, radius, 60, -300, 1.9);
    // The head sits where the clockwise travel ends (upper left) and points along it.
    const qreal end = 120 * M_PI / 180;
    const QPointF tip(centre.x() + radius * std::cos(end), centre.y() - radius * std::sin(end));
    const QPointF along(std::sin(end), std::cos(end));
    const QPointF across(-along.y(), along.x());
    QPainterPath head;
    head.moveTo(tip + along * 3.6);
    head.lineTo(tip + across * 3.2);
    head.lineTo(tip - across * 3.2);
    head.closeSubpath();
    return path.united(head.united(stroked(head, 0.8)));
}

using Builder = std::function<QPainterPath()>;

const std::map<QString, Builder>& builders() {
    static const std::map<QString, Builder> all = {
        {QStringLiteral("waveform"),
         [] {
             return waveformBars({3.5, 7.75, 12, 16.25, 20.5}, {6, 13, 18, 11, 5}, 2.2);
         }},
        {QStringLiteral("waveform.circle"),
         [] {
             return ring({12, 12}, 9.6, 1.8).united(circleWaveform());
         }},
        {QStringLiteral("waveform.circle.fill"),
         [] {
             return disc({12, 12}, 10.5).subtracted(circleWaveform());
         }},
        {QStringLiteral("mic.fill"),
         [] {
             QPainterPath path;
             path.addRoundedRect(QRectF(8.4, 2.5, 7.2, 12.2), 3.6, 3.6);
             path = path.united(arc({12, 10.6}, 6.4, 180, 180, 1.8));
             path = path.united(polyline({{12, 17}, {12, 21}}, 1.8));
             return path.united(polyline({{8.6, 21}, {15.4, 21}}, 1.8));
         }},
        {QStringLiteral("speaker.wave.2.fill"), [] { return speaker(2); }},
        {QStringLiteral("speaker.wave.3.fill"), [] { return speaker(3); }},
        {QStringLiteral("checkmark.circle.fill"),
         [] {
             return disc({12, 12}, 10.5).subtracted(polyline({{7.4, 12.4}, {10.7, 15.7}, {16.6, 8.9}}, 2.3));
         }},
        {QStringLiteral("chevron.right"),
         [] {
             return polyline({{9, 4.8}, {16.2, 12}, {9, 19.2}}, 2.4);
         }},
        {QStringLiteral("clock"),
         [] {
             return ring({12, 12}, 9.4, 1.8).united(clockHands(1.8));
         }},
        {QStringLiteral("clock.fill"),
         [] {
             return disc({12, 12}, 10.5).subtracted(clockHands(2.1));
         }},
        {QStringLiteral("gearshape.fill"), gear},
        {QStringLiteral("pencil"), pencil},
        {QStringLiteral("trash"), trash},
        {QStringLiteral("exclamationmark.triangle.fill"), warningTriangle},
        {QStringLiteral("arrow.clockwise"), arrowClockwise},
    };
    return all;
}

// Paths are built once per name and kept: the top bar redraws its buttons often.
const QPainterPath* symbolPath(const QString& name) {
    static std::map<QString, QPainterPath> cache;
    if (auto found = cache.find(name); found != cache.end())
        return &found->second;
    const auto builder = builders().find(name);
    if (builder == builders().end())
        return nullptr;
    return &cache.emplace(name, builder->second()).first->second;
}

class SymbolIconEngine : public QIconEngine {
public:
    SymbolIconEngine(QString name, QColor colour)
        : m_name(std::move(name))
        , m_colour(std::move(colour)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        painter->save();
        if (mode == QIcon::Disabled)
            painter->setOpacity(painter->opacity() * 0.4);
        SymbolIcon::paint(*painter, rect, m_name, m_colour);
        painter->restore();
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return scaledPixmap(size, mode, state, 1.0);
    }

    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale) override {
        QPixmap pixmap(size * scale);
        pixmap.fill(Qt::transparent);
        {
            QPainter painter(&pixmap);
            paint(&painter, QRect(QPoint(), pixmap.size()), mode, state);
        }
        pixmap.setDevicePixelRatio(scale);
        return pixmap;
    }

    QIconEngine* clone() const override { return new SymbolIconEngine(m_name, m_colour); }
    QString key() const override { return QStringLiteral("murmurly-symbol"); }
    QString iconName() override { return m_name; }

private:
    QString m_name;
    QColor m_colour;
};

} // namespace

const QStringList& SymbolIcon::names() {
    static const QStringList all = [] {
        QStringList list;
        for (const auto& [name, builder] : builders())
            list << name;
        return list;
    }();
    return all;
}

void SymbolIcon::paint(QPainter& painter, const QRectF& rect, const QString& name, const QColor& colour) {
    const QPainterPath* path = symbolPath(name);
    if (!path)
        return;
    const qreal side = std::min(rect.width(), rect.height());
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(rect.center() - QPointF(side / 2, side / 2));
    painter.scale(side / 24, side / 24);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawPath(*path);
    painter.restore();
}

QIcon SymbolIcon::icon(const QString& name, const QColor& colour) {
    return QIcon(new SymbolIconEngine(name, colour));
}

} // namespace murmurly
