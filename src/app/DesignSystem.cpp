#include "app/DesignSystem.h"

#include <QApplication>
#include <QFontDatabase>
#include <QPushButton>
#include <QStyle>

namespace murmurly::DesignSystem {

namespace Colors {

QColor backgroundGradientStart() {
    return QColor::fromRgbF(0.08f, 0.10f, 0.14f);
}
QColor backgroundGradientEnd() {
    return QColor::fromRgbF(0.16f, 0.18f, 0.24f);
}
QColor settingsBackground() {
    return QColor::fromRgbF(0.10f, 0.12f, 0.16f);
}
QColor red() {
    return QColor(255, 69, 58);
}
QColor green() {
    return QColor(48, 209, 88);
}
QColor yellow() {
    return QColor(255, 214, 10);
}
QColor accent() {
    return QColor(10, 132, 255);
}
QColor errorFill() {
    QColor c = red();
    c.setAlphaF(0.15f);
    return c;
}
QColor errorStroke() {
    QColor c = red();
    c.setAlphaF(0.35f);
    return c;
}
QColor white(qreal opacity) {
    QColor c(Qt::white);
    c.setAlphaF(float(opacity));
    return c;
}
QString css(const QColor& colour) {
    return QStringLiteral("rgba(%1, %2, %3, %4)")
        .arg(colour.red())
        .arg(colour.green())
        .arg(colour.blue())
        .arg(colour.alpha());
}

} // namespace Colors

namespace Fonts {

namespace {
QFont scaled(qreal factor, QFont::Weight weight) {
    QFont font = QApplication::font();
    font.setPointSizeF(font.pointSizeF() * factor);
    font.setWeight(weight);
    return font;
}
} // namespace

QFont body() {
    return scaled(1.0, QFont::Normal);
}
QFont headline() {
    return scaled(1.0, QFont::DemiBold);
}
QFont title() {
    return scaled(1.45, QFont::DemiBold);
}
QFont caption() {
    return scaled(0.85, QFont::Normal);
}
QFont caption2() {
    return scaled(0.8, QFont::DemiBold);
}
QFont footnote() {
    return scaled(0.9, QFont::Normal);
}
QFont monospace() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(QApplication::font().pointSizeF());
    return font;
}

} // namespace Fonts

void setButtonStyle(QPushButton& button, ButtonStyle style) {
    static const char* const names[] = {"prominent", "bordered", "link", "borderless"};
    button.setProperty("buttonStyle", QString::fromLatin1(names[int(style)]));
    button.setCursor(Qt::PointingHandCursor);
    // A dynamic property only takes effect in the sheet after the style looks at the widget again.
    button.style()->unpolish(&button);
    button.style()->polish(&button);
}

QString windowStyleSheet() {
    using namespace Colors;
    return QStringLiteral(R"(
QWidget { color: %1; }
QToolTip { color: white; background: %2; border: 1px solid %3; padding: 3px 6px; }
QPushButton {
    color: white; background: %4; border: 1px solid %3; border-radius: 7px;
    padding: 4px 12px; font-weight: 600;
}
QPushButton:hover { background: %5; }
QPushButton:pressed { background: %6; }
QPushButton:disabled { color: %7; }
QPushButton[buttonStyle="prominent"] { background: %8; border: none; padding: 5px 16px; }
QPushButton[buttonStyle="prominent"]:hover { background: %9; }
QPushButton[buttonStyle="prominent"]:pressed { background: %10; }
QPushButton[buttonStyle="link"] { background: none; border: none; color: %11; padding: 2px 4px; font-weight: 500; }
QPushButton[buttonStyle="link"]:hover { text-decoration: underline; }
QPushButton[buttonStyle="borderless"] { background: none; border: none; padding: 0; }
QLineEdit, QComboBox {
    color: white; background: %12; border: 1px solid %3; border-radius: 7px;
    padding: 4px 8px; selection-background-color: %13;
}
QLineEdit:focus, QComboBox:focus { border: 1px solid %11; }
QLineEdit[echoMode="2"] { lineedit-password-character: 9679; }
QComboBox QAbstractItemView {
    color: white; background: %2; border: 1px solid %3; outline: none;
    selection-background-color: %8;
}
QCheckBox { color: %1; spacing: 8px; }
QCheckBox::indicator { width: 16px; height: 16px; border-radius: 4px; border: 1px solid %14; background: %12; }
QCheckBox::indicator:checked { background: %8; border: 1px solid %8; }
QScrollBar:vertical { background: transparent; width: 8px; margin: 2px; }
QScrollBar::handle:vertical { background: %15; border-radius: 2px; min-height: 24px; }
QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }
QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }
QMenu { color: white; background: %2; border: 1px solid %3; padding: 4px; }
QMenu::item { padding: 4px 16px; border-radius: 4px; }
QMenu::item:selected { background: %8; }
)")
        .arg(css(white(0.85)), css(settingsBackground().lighter(130)), css(white(0.15)), css(white(0.12)),
             css(white(0.18)), css(white(0.08)), css(white(0.4)), css(accent()), css(accent().lighter(120)))
        .arg(css(accent().darker(115)), css(QColor(100, 170, 255)), css(white(0.07)),
             css(QColor(10, 132, 255, 150)), css(white(0.35)), css(white(0.28)));
}

QString backgroundStyle(const QString& objectName) {
    using namespace Colors;
    return QStringLiteral(
               "#%1 { background: qlineargradient(x1:0, y1:0, x2:1, y2:1, stop:0 %2, stop:1 %3); }")
        .arg(objectName, css(backgroundGradientStart()), css(backgroundGradientEnd()));
}

} // namespace murmurly::DesignSystem
