#include "app/HistoryView.h"

#include "app/DesignSystem.h"
#include "app/ErrorBanner.h"
#include "app/GlassMorphismModifier.h"
#include "app/RenameSessionDialog.h"
#include "app/SessionRowDelegate.h"
#include "app/SymbolIcon.h"
#include "app/TranscriptBox.h"
#include "history/SessionHistoryStore.h"
#include "history/SessionListModel.h"
#include "history/TranscriptExport.h"
#include "pipeline/LanguageOptions.h"
#include "pipeline/TranscriptSegmentsFile.h"
#include "pipeline/TranscriptionPipeline.h"
#include "storage/PlainTextStore.h"

#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFutureWatcher>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

namespace murmurly {

namespace {

QLabel* label(const QString& text, const QFont& font, qreal opacity) {
    auto* item = new QLabel(text);
    item->setFont(font);
    item->setStyleSheet(
        QStringLiteral("color: %1;").arg(DesignSystem::Colors::css(DesignSystem::Colors::white(opacity))));
    return item;
}

QFont semibold(QFont font) {
    font.setWeight(QFont::DemiBold);
    return font;
}

QWidget* card() {
    auto* widget = new QWidget;
    GlassMorphismModifier{.cornerRadius = 18, .fillOpacity = 0.06, .strokeOpacity = 0.12}.apply(*widget);
    return widget;
}

// Alerts are drawn dark like the window they belong to, with the warning sign of the error banner.
void styleAlert(QMessageBox& alert) {
    using namespace DesignSystem;
    alert.setObjectName(QStringLiteral("alert"));
    alert.setStyleSheet(windowStyleSheet() +
                        QStringLiteral("#alert { background: %1; } QLabel { color: white; }"
                                       "#qt_msgbox_label { font-weight: 600; min-width: 240px; }"
                                       "#qt_msgbox_informativelabel { min-width: 240px; }")
                            .arg(Colors::css(Colors::settingsBackground())));
    alert.setIconPixmap(SymbolIcon::icon(QStringLiteral("exclamationmark.triangle.fill"), Colors::yellow())
                            .pixmap(QSize(36, 36), alert.devicePixelRatioF()));
}

const QString kTextFilter = QStringLiteral("Plain text (*.txt)");
const QString kSubRipFilter = QStringLiteral("SubRip subtitles (*.srt)");
const QString kWebVTTFilter = QStringLiteral("WebVTT subtitles (*.vtt)");

TranscriptExport::Format formatOf(const QString& nameFilter) {
    if (nameFilter == kSubRipFilter)
        return TranscriptExport::Format::subRip;
    if (nameFilter == kWebVTTFilter)
        return TranscriptExport::Format::webVTT;
    return TranscriptExport::Format::plainText;
}

} // namespace

HistoryView::HistoryView(SessionHistoryStore& history, TranscriptionPipeline& pipeline, QWidget* parent)
    : QWidget(parent)
    , m_history(history)
    , m_pipeline(pipeline)
    , m_model(new SessionListModel(&history, this)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(16);
    row->addWidget(buildSessionsCard());
    row->addWidget(buildDetailsCard(), 1);

    connect(&history, &SessionHistoryStore::selectedIDChanged, this, [this] {
        selectStoreSelectionInList();
        if (m_showing)
            loadTranscript();
        refresh();
    });
    connect(&history, &SessionHistoryStore::sessionsChanged, this, &HistoryView::refresh);
    // A reset (a rescan that reorders) or a removal loses the list's selection; the store's stays.
    connect(m_model, &QAbstractItemModel::modelReset, this, &HistoryView::selectStoreSelectionInList);
    connect(m_model, &QAbstractItemModel::rowsInserted, this, &HistoryView::selectStoreSelectionInList);
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, &HistoryView::selectStoreSelectionInList);
    for (auto signal :
         {&TranscriptionPipeline::isRunningChanged, &TranscriptionPipeline::isTranscribingChanged,
          &TranscriptionPipeline::lastErrorChanged})
        connect(&pipeline, signal, this, &HistoryView::refresh);
    connect(&pipeline, &TranscriptionPipeline::transcriptTextChanged, this,
            &HistoryView::followPipelineTranscript);

    selectStoreSelectionInList();
    refresh();
}

HistoryView::~HistoryView() = default;

RenameSessionDialog* HistoryView::renameSheet() const {
    return m_renameSheet;
}

QMessageBox* HistoryView::deleteAlert() const {
    return m_deleteAlert;
}

QFileDialog* HistoryView::exportDialog() const {
    return m_exportDialog;
}

QWidget* HistoryView::buildSessionsCard() {
    using namespace DesignSystem;
    QWidget* sessions = card();
    sessions->setMinimumWidth(220);
    sessions->setMaximumWidth(280);
    sessions->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    auto* column = new QVBoxLayout(sessions);
    column->setContentsMargins(8, 10, 8, 8);
    auto* header = new QHBoxLayout;
    header->setContentsMargins(6, 0, 0, 0);
    header->addWidget(label(QStringLiteral("Sessions"), semibold(Fonts::caption()), 0.6));
    header->addStretch(1);
    m_rescan = new QPushButton(QStringLiteral("Rescan"));
    setButtonStyle(*m_rescan, ButtonStyle::bordered);
    connect(m_rescan, &QPushButton::clicked, &m_history, &SessionHistoryStore::rescan);
    header->addWidget(m_rescan);
    column->addLayout(header);

    m_list = new QListView;
    m_list->setModel(m_model);
    auto* rows = new SessionRowDelegate(m_list);
    m_list->setItemDelegate(rows);
    // Rows share one height: a long history lays out and scrolls without measuring every row.
    m_list->setUniformItemSizes(true);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setFrameShape(QFrame::NoFrame);
    m_list->setStyleSheet(QStringLiteral("QListView { background: transparent; }"));
    m_list->viewport()->setAutoFillBackground(false);
    m_list->installEventFilter(this);
    connect(m_list->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &HistoryView::takeListSelection);
    connect(rows, &SessionRowDelegate::renameRequested, this, &HistoryView::beginRename);
    connect(rows, &SessionRowDelegate::deleteRequested, this, &HistoryView::beginDelete);
    column->addWidget(m_list, 1);
    return sessions;
}

QWidget* HistoryView::buildDetailsCard() {
    using namespace DesignSystem;
    QWidget* details = card();
    auto* column = new QVBoxLayout(details);
    column->setContentsMargins(14, 12, 14, 14);
    column->setSpacing(10);

    auto* heading = new QHBoxLayout;
    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    titles->addWidget(label(QStringLiteral("Session Details"), semibold(Fonts::caption()), 0.6));
    m_title = label(QString(), semibold(Fonts::footnote()), 1.0);
    titles->addWidget(m_title);
    m_status = label(QString(), Fonts::caption2(), 0.6);
    m_status->setFont(QFont(Fonts::caption2().family(), Fonts::caption2().pointSize()));
    titles->addWidget(m_status);
    heading->addLayout(titles, 1);
    m_export = new QPushButton(QStringLiteral("Export\u2026"));
    setButtonStyle(*m_export, ButtonStyle::bordered);
    m_export->setToolTip(QStringLiteral("Save the transcript as text or subtitles"));
    connect(m_export, &QPushButton::clicked, this, &HistoryView::beginExport);
    heading->addWidget(m_export, 0, Qt::AlignTop);
    m_reTranscribe = new QPushButton(QStringLiteral("Re-transcribe"));
    setButtonStyle(*m_reTranscribe, ButtonStyle::prominent);
    connect(m_reTranscribe, &QPushButton::clicked, this, &HistoryView::reTranscribe);
    heading->addWidget(m_reTranscribe, 0, Qt::AlignTop);
    column->addLayout(heading);

    auto* languageRow = new QHBoxLayout;
    languageRow->addWidget(label(QStringLiteral("Language"), semibold(Fonts::caption()), 0.6));
    m_language = new QComboBox;
    for (const LanguageOptions::Entry& entry : LanguageOptions::entries())
        m_language->addItem(entry.label, entry.value);
    connect(m_language, &QComboBox::activated, this, [this](int index) {
        m_state.languageSelection = m_language->itemData(index).toString();
        refresh();
    });
    languageRow->addWidget(m_language);
    m_customLanguage = new QLineEdit;
    m_customLanguage->setPlaceholderText(QStringLiteral("language"));
    m_customLanguage->setFixedWidth(140);
    connect(m_customLanguage, &QLineEdit::textEdited, this,
            [this](const QString& text) { m_state.customLanguage = text; });
    languageRow->addWidget(m_customLanguage);
    languageRow->addStretch(1);
    column->addLayout(languageRow);

    m_transcript = new TranscriptBox(QStringLiteral("Transcript"), transcriptPlaceholder());
    column->addWidget(m_transcript, 1);
    m_error = new ErrorBanner;
    column->addWidget(m_error);
    return details;
}

QString HistoryView::selectedSessionTitle() const {
    const std::optional<SessionHistoryEntry> entry = m_history.session(m_history.selectedID());
    return entry ? m_dates.format(entry->startedAt) : QStringLiteral("None selected");
}

QString HistoryView::historyStatusText() const {
    if (m_state.isPreparingOpus)
        return QStringLiteral("Preparing\u2026");
    if (m_pipeline.isTranscribing())
        return QStringLiteral("Transcribing\u2026");
    return QStringLiteral("Idle");
}

bool HistoryView::canTranscribeSelection() const {
    return m_history.selectedID() && !m_pipeline.isRunning() && !m_pipeline.isTranscribing() &&
           !m_state.isPreparingOpus;
}

QString HistoryView::transcriptPlaceholder() const {
    if (m_state.isLoadingTranscript)
        return QStringLiteral("Loading transcript...");
    if (m_history.selectedID())
        return QStringLiteral("No transcript saved yet.");
    return QStringLiteral("Select a session to view transcript.");
}

void HistoryView::refresh() {
    m_title->setText(selectedSessionTitle());
    m_status->setText(historyStatusText());
    m_reTranscribe->setEnabled(canTranscribeSelection());
    const std::optional<SessionHistoryEntry> selected = m_history.session(m_history.selectedID());
    m_export->setEnabled(selected && selected->hasTranscript());

    m_language->setCurrentIndex(m_language->findData(m_state.languageSelection));
    m_customLanguage->setVisible(m_state.languageSelection == LanguageOptions::customValue());
    if (m_customLanguage->text() != m_state.customLanguage)
        m_customLanguage->setText(m_state.customLanguage);

    m_transcript->setPlaceholder(transcriptPlaceholder());
    m_transcript->setText(m_state.selectedTranscript);
    const QString error = m_pipeline.lastErrorDescription();
    m_error->setMessage(error);
    m_error->setVisible(!error.isEmpty());
}

void HistoryView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // A minimised window shows its panel again without the panel having been closed.
    if (!m_showing)
        appear();
}

void HistoryView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (!event->spontaneous())
        discardState();
}

void HistoryView::appear() {
    m_showing = new QObject(this);
    // No scan of its own: the main window starts one whenever the panel appears.
    loadLanguageDefaults();
    loadTranscript();
    refresh();
}

void HistoryView::discardState() {
    delete m_showing.data();
    m_state = State();
    // An open sheet, alert or file dialog goes with the panel; nothing it was asked for happens.
    for (QWidget* dialog :
         {static_cast<QWidget*>(m_renameSheet.data()), static_cast<QWidget*>(m_deleteAlert.data()),
          static_cast<QWidget*>(m_exportDialog.data())}) {
        if (dialog) {
            dialog->hide();
            dialog->deleteLater();
        }
    }
    refresh();
}

void HistoryView::loadLanguageDefaults() {
    const LanguageOptions::Selection shown = LanguageOptions::selectionFor(PlainTextStore::readLanguage());
    m_state.languageSelection = shown.selection;
    m_state.customLanguage = shown.custom;
}

void HistoryView::loadTranscript() {
    m_state.isLoadingTranscript = true;
    const std::optional<QString> id = m_history.selectedID();
    // Each load applies its result when it comes, even if the selection has moved on meanwhile;
    // the load for the newer selection comes after it.
    QTimer::singleShot(0, this, [this, id] {
        m_state.selectedTranscript = m_history.loadTranscript(id);
        m_state.isLoadingTranscript = false;
        refresh();
    });
}

void HistoryView::followPipelineTranscript() {
    // Whatever session the pipeline transcribes, its text shows in the selected session's details.
    if (m_showing && m_history.selectedID() && m_pipeline.isTranscribing()) {
        m_state.selectedTranscript = m_pipeline.transcriptText();
        refresh();
    }
}

void HistoryView::selectStoreSelectionInList() {
    const std::optional<QString> id = m_history.selectedID();
    const int row = id ? m_model->rowForID(*id) : -1;
    m_syncingSelection = true;
    if (row >= 0) {
        const QModelIndex index = m_model->index(row);
        m_list->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
        m_list->scrollTo(index);
    } else {
        m_list->selectionModel()->clear();
    }
    m_syncingSelection = false;
}

void HistoryView::takeListSelection() {
    const QModelIndex current = m_list->currentIndex();
    if (!m_syncingSelection && current.isValid())
        m_history.setSelectedID(current.data(SessionListModel::IdRole).toString());
}

void HistoryView::reTranscribe() {
    if (!m_showing || !m_history.session(m_history.selectedID()))
        return;
    m_state.selectedTranscript.clear();
    const std::optional<QString> language =
        LanguageOptions::resolve(m_state.languageSelection, m_state.customLanguage);
    m_state.isPreparingOpus = true;
    refresh();
    m_history.reTranscribe(m_pipeline, language,
                           {m_showing,
                            [this] {
                                m_state.isPreparingOpus = false;
                                refresh();
                            },
                            [this](const QString& text) {
                                m_state.selectedTranscript = text;
                                refresh();
                            }});
}

void HistoryView::beginRename(const SessionHistoryEntry& entry) {
    if (m_renameSheet)
        return;
    auto* sheet = new RenameSessionDialog(entry.displayName, this);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    connect(sheet, &QDialog::accepted, this,
            [this, sheet, id = entry.id] { m_history.rename(id, sheet->name()); });
    m_renameSheet = sheet;
    sheet->open();
}

void HistoryView::beginDelete(const SessionHistoryEntry& entry) {
    if (m_deleteAlert)
        return;
    auto* alert = new QMessageBox(QMessageBox::Warning, QStringLiteral("Delete session?"),
                                  QStringLiteral("Delete session?"), QMessageBox::NoButton, this);
    alert->setInformativeText(QStringLiteral("This removes the WAV, Opus, and transcript files."));
    styleAlert(*alert);
    QPushButton* remove = alert->addButton(QStringLiteral("Delete"), QMessageBox::DestructiveRole);
    QPushButton* cancel = alert->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    DesignSystem::setButtonStyle(*cancel, DesignSystem::ButtonStyle::bordered);
    remove->setStyleSheet(
        QStringLiteral("color: %1;").arg(DesignSystem::Colors::css(DesignSystem::Colors::red())));
    alert->setDefaultButton(cancel);
    alert->setEscapeButton(cancel);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowModality(Qt::WindowModal);
    connect(alert, &QMessageBox::buttonClicked, this,
            [this, remove, id = entry.id](QAbstractButton* clicked) {
                if (clicked == remove)
                    m_history.deleteSession(id);
            });
    m_deleteAlert = alert;
    alert->open();
}

void HistoryView::beginExport() {
    const std::optional<SessionHistoryEntry> entry = m_history.session(m_history.selectedID());
    if (!entry || !entry->hasTranscript() || m_exportDialog)
        return;
    const std::optional<QList<LemonfoxSegment>> segments = TranscriptSegmentsFile::load(entry->id);
    const bool timed = segments && TranscriptExport::hasTimings(*segments);
    // Native dialogs may not show extra text, but they all show a title.
    auto* dialog = new QFileDialog(this, timed ? QStringLiteral("Export Transcript")
                                               : QStringLiteral("Export Transcript (text only: no timings "
                                                                "were kept for this session)"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setNameFilters(timed ? QStringList{kTextFilter, kSubRipFilter, kWebVTTFilter}
                                 : QStringList{kTextFilter});
    dialog->setDefaultSuffix(QStringLiteral("txt"));
    connect(dialog, &QFileDialog::filterSelected, dialog, [dialog](const QString& filter) {
        dialog->setDefaultSuffix(TranscriptExport::suffix(formatOf(filter)));
    });
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    dialog->setDirectory(QDir(documents).exists() ? documents : QDir::homePath());
    QString name = entry->displayName;
    name.replace(u'/', u'-').replace(u':', u'.');
    dialog->selectFile(name + QStringLiteral(".txt"));
    connect(dialog, &QFileDialog::fileSelected, this, [this, dialog, id = entry->id](const QString& path) {
        writeExport(id, path, dialog->selectedNameFilter());
    });
    m_exportDialog = dialog;
    dialog->open();
}

void HistoryView::writeExport(const QString& id, const QString& path, const QString& nameFilter) {
    using Result = std::optional<QString>;
    auto* watcher = new QFutureWatcher<Result>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, path] {
        watcher->deleteLater();
        const Result error = watcher->result();
        if (error) {
            auto* alert = new QMessageBox(
                QMessageBox::Warning, QStringLiteral("Export failed"),
                QStringLiteral("The transcript could not be saved to %1.").arg(path), QMessageBox::Ok, this);
            alert->setInformativeText(*error);
            styleAlert(*alert);
            alert->setAttribute(Qt::WA_DeleteOnClose);
            alert->open();
        }
        emit exportFinished(path, error);
    });
    const TranscriptExport::Format format = formatOf(nameFilter);
    watcher->setFuture(
        QtConcurrent::run([id, format, path] { return TranscriptExport::write(id, format, path); }));
}

bool HistoryView::eventFilter(QObject* watched, QEvent* event) {
    if (watched != m_list || (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride))
        return QWidget::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    const bool isDelete = key->key() == Qt::Key_Delete && key->modifiers() == Qt::NoModifier;
    const bool isRename = key->key() == Qt::Key_F2 && key->modifiers() == Qt::NoModifier;
    const bool isCopy = key->matches(QKeySequence::Copy);
    if (!isDelete && !isRename && !isCopy)
        return false;
    if (event->type() == QEvent::ShortcutOverride) {
        event->accept(); // ours, not a window-wide shortcut's
        return true;
    }
    if (isCopy) {
        QGuiApplication::clipboard()->setText(m_state.selectedTranscript);
    } else if (const std::optional<SessionHistoryEntry> entry = m_history.session(m_history.selectedID())) {
        isDelete ? beginDelete(*entry) : beginRename(*entry);
    }
    return true;
}

} // namespace murmurly
