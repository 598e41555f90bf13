#include "app/SessionRowDelegate.h"

#include "app/DesignSystem.h"
#include "app/SymbolIcon.h"
#include "history/ByteCountFormatter.h"
#include "history/SessionListModel.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

namespace murmurly {

namespace {

constexpr int kPadding = 8;
constexpr int kButtonSize = 24;
constexpr int kButtonGap = 4;
constexpr int kFactGap = 6;

struct Fact {
    QString symbol; // drawn before the text when set
    QString text;
    QColor colour;
    bool bold = false;
};

QList<Fact> factsOf(const SessionHistoryEntry& entry) {
    using DesignSystem::Colors::white;
    QList<Fact> facts;
    if (entry.audioURL)
        facts.append({QStringLiteral("waveform"), QStringLiteral("Audio"), white(0.7)});
    else if (entry.micURL)
        facts.append({QStringLiteral("mic.fill"), QStringLiteral("Mic"), white(0.7)});
    else if (entry.systemURL)
        facts.append({QStringLiteral("speaker.wave.2.fill"), QStringLiteral("System"), white(0.7)});
    if (entry.wavBytes() >= 1)
        facts.append(
            {{}, QStringLiteral("WAV ") + ByteCountFormatter::string(entry.wavBytes()), white(0.55)});
    if (entry.opusBytes() >= 1)
        facts.append(
            {{}, QStringLiteral("Opus ") + ByteCountFormatter::string(entry.opusBytes()), white(0.55)});
    else
        facts.append({{}, QStringLiteral("Opus \u2014"), white(0.35)});
    if (entry.hasTranscript())
        facts.append({{}, QStringLiteral("Transcript"), DesignSystem::Colors::green(), true});
    else
        facts.append({{}, QStringLiteral("No transcript"), white(0.5)});
    return facts;
}

QFont nameFont() {
    QFont font = DesignSystem::Fonts::footnote();
    font.setWeight(QFont::DemiBold);
    return font;
}

QFont smallFont(bool bold) {
    QFont font = DesignSystem::Fonts::caption2();
    font.setWeight(bold ? QFont::DemiBold : QFont::Normal);
    return font;
}

} // namespace

SessionRowDelegate::SessionRowDelegate(QObject* parent)
    : QStyledItemDelegate(parent) {}

QRect SessionRowDelegate::buttonRect(const QRect& row, Button button) {
    const int right = row.right() - kPadding - (button == Button::rename ? kButtonSize + kButtonGap : 0);
    return QRect(right - kButtonSize + 1, row.center().y() - kButtonSize / 2, kButtonSize, kButtonSize);
}

QStringList SessionRowDelegate::facts(const SessionHistoryEntry& entry) {
    QStringList texts;
    for (const Fact& fact : factsOf(entry))
        texts.append(fact.text);
    return texts;
}

QSize SessionRowDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
    // Name, date and up to two lines of facts (they wrap in a narrow list).
    const int small = QFontMetrics(smallFont(false)).height();
    return {200, 2 * kPadding + QFontMetrics(nameFont()).height() + 3 * small + 4};
}

void SessionRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
    using namespace DesignSystem;
    const auto entry = index.data(SessionListModel::EntryRole).value<SessionHistoryEntry>();
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const QRectF card = QRectF(option.rect).adjusted(2, 2, -2, -2);
    if (option.state & QStyle::State_Selected) {
        QColor fill = Colors::accent();
        fill.setAlphaF(0.35f);
        painter->setPen(Qt::NoPen);
        painter->setBrush(fill);
        painter->drawRoundedRect(card, 8, 8);
    }

    const QRect column =
        option.rect.adjusted(kPadding, kPadding, -(2 * kPadding + 2 * kButtonSize + kButtonGap), -kPadding);
    const QFontMetrics nameMetrics(nameFont());
    painter->setFont(nameFont());
    painter->setPen(Qt::white);
    painter->drawText(QRect(column.topLeft(), QSize(column.width(), nameMetrics.height())),
                      Qt::AlignLeft | Qt::AlignVCenter,
                      nameMetrics.elidedText(entry.displayName, Qt::ElideRight, column.width()));

    const QFontMetrics small(smallFont(false));
    const QRect dateLine(column.left(), column.top() + nameMetrics.height() + 2, column.width(),
                         small.height());
    painter->setFont(smallFont(false));
    painter->setPen(Colors::white(0.6));
    painter->drawText(dateLine, Qt::AlignLeft | Qt::AlignVCenter,
                      small.elidedText(m_dates.format(entry.startedAt), Qt::ElideRight, column.width()));
    paintFacts(*painter, QRect(column.left(), dateLine.bottom() + 3, column.width(), 2 * small.height()),
               entry);

    paintButton(*painter, buttonRect(option.rect, Button::rename), Button::rename);
    paintButton(*painter, buttonRect(option.rect, Button::remove), Button::remove);
    painter->restore();
}

void SessionRowDelegate::paintFacts(QPainter& painter, const QRect& area,
                                    const SessionHistoryEntry& entry) const {
    const int lineHeight = QFontMetrics(smallFont(false)).height();
    QPoint at = area.topLeft();
    for (const Fact& fact : factsOf(entry)) {
        const QFontMetrics metrics(smallFont(fact.bold));
        const int iconWidth = fact.symbol.isEmpty() ? 0 : lineHeight + 2;
        const int width = iconWidth + metrics.horizontalAdvance(fact.text);
        // A fact that does not fit goes to the next line, unless it is the first on its line.
        if (at.x() > area.left() && at.x() + width > area.right())
            at = QPoint(area.left(), at.y() + lineHeight);
        if (!fact.symbol.isEmpty())
            SymbolIcon::paint(painter, QRectF(at.x(), at.y() + 1, lineHeight - 2, lineHeight - 2),
                              fact.symbol, fact.colour);
        painter.setFont(smallFont(fact.bold));
        painter.setPen(fact.colour);
        painter.drawText(QRect(at.x() + iconWidth, at.y(), width - iconWidth, lineHeight),
                         Qt::AlignLeft | Qt::AlignVCenter, fact.text);
        at.rx() += width + kFactGap;
    }
}

void SessionRowDelegate::paintButton(QPainter& painter, const QRect& rect, Button button) const {
    using namespace DesignSystem;
    painter.setPen(QPen(Colors::white(0.15), 1));
    painter.setBrush(Colors::white(0.12));
    painter.drawRoundedRect(QRectF(rect).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
    // The delete button is destructive: its symbol is red.
    SymbolIcon::paint(painter, QRectF(rect).adjusted(5, 5, -5, -5),
                      button == Button::rename ? QStringLiteral("pencil") : QStringLiteral("trash"),
                      button == Button::rename ? QColor(Qt::white) : Colors::red());
}

bool SessionRowDelegate::editorEvent(QEvent* event, QAbstractItemModel* model,
                                     const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (event->type() != QEvent::MouseButtonPress && event->type() != QEvent::MouseButtonRelease)
        return QStyledItemDelegate::editorEvent(event, model, option, index);
    const QPoint position = static_cast<QMouseEvent*>(event)->position().toPoint();
    std::optional<Button> hit;
    for (Button button : {Button::rename, Button::remove}) {
        if (buttonRect(option.rect, button).contains(position))
            hit = button;
    }
    if (event->type() == QEvent::MouseButtonPress) {
        m_pressedIndex = hit ? QPersistentModelIndex(index) : QPersistentModelIndex();
        m_pressedButton = hit;
        return hit.has_value(); // a press on a button does not select the row
    }
    const bool clicked = hit && m_pressedButton == hit && m_pressedIndex == index;
    m_pressedIndex = QPersistentModelIndex();
    m_pressedButton.reset();
    if (!clicked)
        return false;
    const auto entry = index.data(SessionListModel::EntryRole).value<SessionHistoryEntry>();
    if (*hit == Button::rename)
        emit renameRequested(entry);
    else
        emit deleteRequested(entry);
    return true;
}

bool SessionRowDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                   const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (event->type() == QEvent::ToolTip) {
        for (Button button : {Button::rename, Button::remove}) {
            if (buttonRect(option.rect, button).contains(event->pos())) {
                QToolTip::showText(event->globalPos(),
                                   button == Button::rename ? QStringLiteral("Rename")
                                                            : QStringLiteral("Delete"),
                                   view->viewport(), buttonRect(option.rect, button));
                return true;
            }
        }
        QToolTip::hideText();
        return true;
    }
    return QStyledItemDelegate::helpEvent(event, view, option, index);
}

} // namespace murmurly
