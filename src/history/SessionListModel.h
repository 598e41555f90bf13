#pragma once

#include "history/SessionHistoryEntry.h"

#include <QAbstractListModel>
#include <QList>
#include <QPointer>

namespace murmurly {

class SessionHistoryStore;

// The history store's sessions as a list model for item views. Follows the store's sessionsChanged:
// a removed session becomes a row removal, new sessions row insertions, changed fields dataChanged;
// only a reordering resets the model, so views keep their scroll position and current row.
class SessionListModel : public QAbstractListModel {
    Q_OBJECT

public:
    enum Role {
        IdRole = Qt::UserRole + 1,
        DisplayNameRole, // also Qt::DisplayRole
        StartedAtRole,   // QDateTime
        AudioBytesRole,
        MicBytesRole,
        SystemBytesRole,
        AudioOpusBytesRole,
        MicOpusBytesRole,
        SystemOpusBytesRole,
        WavBytesRole,      // sum of the three WAV sizes
        OpusBytesRole,     // sum of the three Opus sizes
        HasTranscriptRole, // asks the file system on every read
        EntryRole,         // the whole SessionHistoryEntry
    };

    explicit SessionListModel(SessionHistoryStore* store, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    // Row of the session with this id, or -1.
    int rowForID(const QString& id) const;
    const SessionHistoryEntry& entryAt(int row) const { return m_rows.at(row); }

private:
    void sync();
    bool removeMissingRows(const QList<SessionHistoryEntry>& next);
    bool insertNewRows(const QList<SessionHistoryEntry>& next);
    void updateChangedRows(const QList<SessionHistoryEntry>& next);

    QPointer<SessionHistoryStore> m_store;
    QList<SessionHistoryEntry> m_rows;
};

} // namespace murmurly
