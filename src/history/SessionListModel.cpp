#include "history/SessionListModel.h"

#include "history/SessionHistoryStore.h"

namespace murmurly {

namespace {

// True when `part`'s ids appear in `whole` in the same order (ids are unique within a list).
bool isOrderedSubset(const QList<SessionHistoryEntry>& part, const QList<SessionHistoryEntry>& whole) {
    qsizetype k = 0;
    for (const SessionHistoryEntry& entry : whole) {
        if (k < part.size() && part.at(k).id == entry.id)
            ++k;
    }
    return k == part.size();
}

} // namespace

SessionListModel::SessionListModel(SessionHistoryStore* store, QObject* parent)
    : QAbstractListModel(parent)
    , m_store(store) {
    if (!store)
        return;
    m_rows = store->sessions();
    connect(store, &SessionHistoryStore::sessionsChanged, this, &SessionListModel::sync);
    connect(store, &QObject::destroyed, this, [this] {
        beginResetModel();
        m_rows.clear();
        endResetModel();
    });
}

int SessionListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant SessionListModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const SessionHistoryEntry& e = m_rows.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case DisplayNameRole:
        return e.displayName;
    case IdRole:
        return e.id;
    case StartedAtRole:
        return e.startedAt;
    case AudioBytesRole:
        return qint64(e.audioBytes);
    case MicBytesRole:
        return qint64(e.micBytes);
    case SystemBytesRole:
        return qint64(e.systemBytes);
    case AudioOpusBytesRole:
        return qint64(e.audioOpusBytes);
    case MicOpusBytesRole:
        return qint64(e.micOpusBytes);
    case SystemOpusBytesRole:
        return qint64(e.systemOpusBytes);
    case WavBytesRole:
        return qint64(e.wavBytes());
    case OpusBytesRole:
        return qint64(e.opusBytes());
    case HasTranscriptRole:
        return e.hasTranscript();
    case EntryRole:
        return QVariant::fromValue(e);
    default:
        return {};
    }
}

QHash<int, QByteArray> SessionListModel::roleNames() const {
    QHash<int, QByteArray> names = QAbstractListModel::roleNames();
    names.insert({{IdRole, "id"},
                  {DisplayNameRole, "displayName"},
                  {StartedAtRole, "startedAt"},
                  {AudioBytesRole, "audioBytes"},
                  {MicBytesRole, "micBytes"},
                  {SystemBytesRole, "systemBytes"},
                  {AudioOpusBytesRole, "audioOpusBytes"},
                  {MicOpusBytesRole, "micOpusBytes"},
                  {SystemOpusBytesRole, "systemOpusBytes"},
                  {WavBytesRole, "wavBytes"},
                  {OpusBytesRole, "opusBytes"},
                  {HasTranscriptRole, "hasTranscript"},
                  {EntryRole, "entry"}});
    return names;
}

int SessionListModel::rowForID(const QString& id) const {
    for (qsizetype row = 0; row < m_rows.size(); ++row) {
        if (m_rows.at(row).id == id)
            return int(row);
    }
    return -1;
}

void SessionListModel::sync() {
    const SessionHistoryStore* store = m_store.data();
    if (!store)
        return;
    const QList<SessionHistoryEntry> next = store->sessions();
    // Bring the row ids in line with the store's by removals or insertions alone when possible;
    // anything else (a rescan that reorders, or both adds and drops) is a reset.
    if (isOrderedSubset(next, m_rows)) {
        removeMissingRows(next);
    } else if (isOrderedSubset(m_rows, next)) {
        insertNewRows(next);
    } else {
        beginResetModel();
        m_rows = next;
        endResetModel();
        return;
    }
    updateChangedRows(next);
}

bool SessionListModel::removeMissingRows(const QList<SessionHistoryEntry>& next) {
    // Which current rows survive, matched in order.
    QList<bool> keep(m_rows.size(), false);
    qsizetype k = 0;
    for (qsizetype row = 0; row < m_rows.size(); ++row) {
        if (k < next.size() && next.at(k).id == m_rows.at(row).id) {
            keep[row] = true;
            ++k;
        }
    }
    bool removed = false;
    // From the back, so earlier row numbers stay valid; contiguous runs go in one step.
    for (qsizetype last = m_rows.size() - 1; last >= 0;) {
        if (keep.at(last)) {
            --last;
            continue;
        }
        qsizetype first = last;
        while (first > 0 && !keep.at(first - 1))
            --first;
        beginRemoveRows(QModelIndex(), int(first), int(last));
        m_rows.remove(first, last - first + 1);
        endRemoveRows();
        removed = true;
        last = first - 1;
    }
    return removed;
}

bool SessionListModel::insertNewRows(const QList<SessionHistoryEntry>& next) {
    bool inserted = false;
    for (qsizetype row = 0; row < next.size();) {
        if (row < m_rows.size() && m_rows.at(row).id == next.at(row).id) {
            ++row;
            continue;
        }
        // A run of new entries ends at the next id that is already a row (or at the end).
        const QString following = row < m_rows.size() ? m_rows.at(row).id : QString();
        qsizetype end = row;
        while (end < next.size() && (row >= m_rows.size() || next.at(end).id != following))
            ++end;
        beginInsertRows(QModelIndex(), int(row), int(end - 1));
        for (qsizetype i = row; i < end; ++i)
            m_rows.insert(i, next.at(i));
        endInsertRows();
        inserted = true;
        row = end;
    }
    return inserted;
}

void SessionListModel::updateChangedRows(const QList<SessionHistoryEntry>& next) {
    for (qsizetype row = 0; row < next.size(); ++row) {
        if (m_rows.at(row) == next.at(row))
            continue;
        m_rows[row] = next.at(row);
        const QModelIndex changed = index(int(row));
        emit dataChanged(changed, changed);
    }
}

} // namespace murmurly
