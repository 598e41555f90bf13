#pragma once

#include <QWidget>

namespace murmurly {

// Horizontal input-level meter: a rounded track and, from the left, a green-yellow-red bar as
// wide as the level (at least 4 pixels, so silence still shows a sliver).
// Accessibility: the label "Audio level" and the value printed with two decimals.
class LevelBar : public QWidget {
    Q_OBJECT
public:
    explicit LevelBar(QWidget* parent = nullptr);

    float level() const { return m_level; }
    void setLevel(float level);

    // The level as a screen reader reads it: "0.50".
    static QString accessibleValue(float level);

    QSize sizeHint() const override { return {90, 6}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // In whole pixels, at least 4 so that silence still shows a sliver.
    int barWidth(float level) const;

    float m_level = 0;
};

} // namespace murmurly
