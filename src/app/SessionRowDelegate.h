#pragma once

#include "history/SessionDateFormatter.h"
#include "history/SessionHistoryEntry.h"

#include <QPersistentModelIndex>
#include <QStyledItemDelegate>

namespace murmurly {

// Draws one past session in the history list: its name, start time and a line of small facts
// (source, WAV and Opus sizes, transcript state), with a rename and a delete button at the right.
// Every row has the same height, so a list of thousands lays out without measuring each row.
class SessionRowDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    enum class Button { rename, remove };

    explicit SessionRowDelegate(QObject* parent = nullptr);

    // Where a row drawn into `row` puts the button.
    static QRect buttonRect(const QRect& row, Button button);

    // The facts of an entry as drawn, left to right: "Audio", "WAV 1.2 MB", "Opus —", "Transcript"...
    static QStringList facts(const SessionHistoryEntry& entry);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

signals:
    void renameRequested(const murmurly::SessionHistoryEntry& entry);
    void deleteRequested(const murmurly::SessionHistoryEntry& entry);

private:
    void paintFacts(QPainter& painter, const QRect& area, const SessionHistoryEntry& entry) const;
    void paintButton(QPainter& painter, const QRect& rect, Button button) const;

    SessionDateFormatter m_dates;
    QPersistentModelIndex m_pressedIndex;
    std::optional<Button> m_pressedButton;
};

} // namespace murmurly
