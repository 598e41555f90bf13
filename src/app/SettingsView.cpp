#include "app/SettingsView.h"

#include "app/AutostartEntry.h"
#include "app/DesignSystem.h"
#include "app/GlassMorphismModifier.h"
#include "pipeline/LanguageOptions.h"
#include "storage/PlainTextStore.h"
#include "transcription/LemonfoxTranscriber.h"
#include "transcription/MistralTranscriber.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace murmurly {

namespace {

using namespace DesignSystem;

const QString lemonfox = QStringLiteral("lemonfox");
const QString mistral = QStringLiteral("mistral");

QWidget* card(QVBoxLayout*& column) {
    auto* widget = new QWidget;
    GlassMorphismModifier{.cornerRadius = 16, .fillOpacity = 0.08, .strokeOpacity = 0.12}.apply(*widget);
    column = new QVBoxLayout(widget);
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(12);
    return widget;
}

QLabel* heading(const QString& text) {
    auto* label = new QLabel(text);
    QFont font = Fonts::headline();
    font.setWeight(QFont::Bold);
    label->setFont(font);
    label->setStyleSheet(QStringLiteral("color: white;"));
    return label;
}

QLabel* caption(const QString& text, const QFont& font = Fonts::caption()) {
    auto* label = new QLabel(text);
    label->setFont(font);
    label->setWordWrap(true);
    label->setStyleSheet(QStringLiteral("color: %1;").arg(Colors::css(Colors::white(0.6))));
    return label;
}

QPushButton* button(const QString& text, ButtonStyle style) {
    auto* result = new QPushButton(text);
    setButtonStyle(*result, style);
    result->setAutoDefault(false);
    return result;
}

QHBoxLayout* row() {
    auto* layout = new QHBoxLayout;
    layout->setSpacing(8);
    return layout;
}

} // namespace

SettingsView::SettingsView(QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QStringLiteral("Settings"));
    setModal(true);
    setWindowModality(Qt::WindowModal);
    // As wide as laid out; at least as high, and taller when the desktop's fonts need the room.
    setFixedWidth(460);
    setMinimumHeight(520);
    setObjectName(QStringLiteral("settings"));
    setStyleSheet(
        windowStyleSheet() +
        QStringLiteral("#settings { background: %1; }").arg(Colors::css(Colors::settingsBackground())));

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(20);
    column->setSizeConstraint(QLayout::SetMinimumSize);

    auto* header = row();
    auto* title = new QLabel(QStringLiteral("Settings"));
    title->setFont(Fonts::title());
    title->setStyleSheet(QStringLiteral("color: white;"));
    header->addWidget(title);
    header->addStretch(1);
    m_done = button(QStringLiteral("Done"), ButtonStyle::bordered);
    connect(m_done, &QPushButton::clicked, this, &QDialog::accept);
    header->addWidget(m_done);
    column->addLayout(header);

    column->addWidget(buildServiceCard());
    column->addWidget(buildKeyCard());
    column->addWidget(buildLanguageCard());

    m_startAtLogin = new QCheckBox(QStringLiteral("Start Murmurly at login"));
    m_startAtLogin->setCursor(Qt::PointingHandCursor);
    connect(m_startAtLogin, &QCheckBox::toggled, this, &SettingsView::setStartAtLogin);
    column->addWidget(m_startAtLogin);
    column->addStretch(1);
    resize(460, 520);
}

QWidget* SettingsView::buildServiceCard() {
    QVBoxLayout* column = nullptr;
    QWidget* widget = card(column);
    column->addWidget(heading(QStringLiteral("Transcription Service")));
    auto* controls = row();
    m_serviceMenu = new QComboBox;
    m_serviceMenu->addItem(QStringLiteral("Lemonfox"), lemonfox);
    m_serviceMenu->addItem(QStringLiteral("Mistral"), mistral);
    m_serviceMenu->setMinimumWidth(160);
    connect(m_serviceMenu, &QComboBox::currentIndexChanged, this,
            [this] { selectProvider(m_serviceMenu->currentData().toString()); });
    controls->addWidget(m_serviceMenu);
    m_saveService = button(QStringLiteral("Save Service"), ButtonStyle::prominent);
    connect(m_saveService, &QPushButton::clicked, this, &SettingsView::saveService);
    controls->addWidget(m_saveService);
    controls->addStretch(1);
    column->addLayout(controls);
    column->addWidget(caption(QStringLiteral("Used for new recordings and re-transcriptions.")));
    return widget;
}

QWidget* SettingsView::buildKeyCard() {
    QVBoxLayout* column = nullptr;
    QWidget* widget = card(column);
    m_keyHeading = heading(QString());
    column->addWidget(m_keyHeading);
    m_keyField = new QLineEdit;
    m_keyField->setEchoMode(QLineEdit::Password);
    m_keyField->setPlaceholderText(QStringLiteral("sk-..."));
    connect(m_keyField, &QLineEdit::textChanged, this,
            [this](const QString& text) { selectedApiKey() = text; });
    column->addWidget(m_keyField);
    auto* actions = row();
    m_saveKey = button(QStringLiteral("Save"), ButtonStyle::prominent);
    m_clearKey = button(QStringLiteral("Clear"), ButtonStyle::bordered);
    connect(m_saveKey, &QPushButton::clicked, this, &SettingsView::saveSelectedApiKey);
    connect(m_clearKey, &QPushButton::clicked, this, &SettingsView::clearSelectedApiKey);
    actions->addWidget(m_saveKey);
    actions->addWidget(m_clearKey);
    actions->addStretch(1);
    column->addLayout(actions);
    m_keyCaption = caption(QString());
    column->addWidget(m_keyCaption);
    m_statusLabel = caption(QString(), Fonts::footnote());
    m_statusLabel->hide();
    column->addWidget(m_statusLabel);
    updateKeyCard();
    return widget;
}

QWidget* SettingsView::buildLanguageCard() {
    QVBoxLayout* column = nullptr;
    QWidget* widget = card(column);
    column->addWidget(heading(QStringLiteral("Default Language")));
    auto* choice = row();
    m_languageMenu = new QComboBox;
    for (const LanguageOptions::Entry& entry : LanguageOptions::entries())
        m_languageMenu->addItem(entry.label, entry.value);
    m_languageMenu->setMaxVisibleItems(12);
    m_languageMenu->setMinimumWidth(160);
    connect(m_languageMenu, &QComboBox::currentIndexChanged, this, &SettingsView::updateCustomField);
    choice->addWidget(m_languageMenu);
    m_customLanguage = new QLineEdit;
    m_customLanguage->setPlaceholderText(QStringLiteral("language"));
    m_customLanguage->setFixedWidth(160);
    choice->addWidget(m_customLanguage);
    choice->addStretch(1);
    column->addLayout(choice);
    auto* actions = row();
    m_saveLanguage = button(QStringLiteral("Save Language"), ButtonStyle::prominent);
    m_clearLanguage = button(QStringLiteral("Clear"), ButtonStyle::bordered);
    connect(m_saveLanguage, &QPushButton::clicked, this, &SettingsView::saveLanguage);
    connect(m_clearLanguage, &QPushButton::clicked, this, &SettingsView::clearLanguage);
    actions->addWidget(m_saveLanguage);
    actions->addWidget(m_clearLanguage);
    actions->addStretch(1);
    column->addLayout(actions);
    column->addWidget(caption(QStringLiteral("Used for new recordings and as the default in History.")));
    updateCustomField();
    return widget;
}

void SettingsView::showEvent(QShowEvent* event) {
    load();
    QDialog::showEvent(event);
}

void SettingsView::load() {
    m_loading = true;
    const auto provider = PlainTextStore::readValue(PlainTextStore::providerURL());
    m_lemonfoxApiKey = PlainTextStore::readValue(PlainTextStore::lemonfoxApiKeyURL()).value_or(QString());
    m_mistralApiKey = PlainTextStore::readValue(PlainTextStore::mistralApiKeyURL()).value_or(QString());
    selectProvider(provider && provider->toLower() == mistral ? mistral : lemonfox);
    m_serviceMenu->setCurrentIndex(m_serviceMenu->findData(m_providerSelection));

    const auto shown = LanguageOptions::selectionFor(PlainTextStore::readLanguage());
    m_languageMenu->setCurrentIndex(m_languageMenu->findData(shown.selection));
    m_customLanguage->setText(shown.custom);

    const QSignalBlocker quiet(m_startAtLogin);
    m_startAtLogin->setChecked(AutostartEntry::isEnabled());
    m_loading = false;
}

QString SettingsView::languageSelection() const {
    return m_languageMenu->currentData().toString();
}

QString SettingsView::customLanguage() const {
    return m_customLanguage->text();
}

QString SettingsView::displayName() const {
    return mistralSelected() ? QStringLiteral("Mistral") : QStringLiteral("Lemonfox");
}

QString SettingsView::shownKeyPath() const {
    return mistralSelected() ? QStringLiteral("~/.mistral_api_key") : QStringLiteral("~/.lemonfox_api_key");
}

QString& SettingsView::selectedApiKey() {
    return mistralSelected() ? m_mistralApiKey : m_lemonfoxApiKey;
}

void SettingsView::selectProvider(const QString& provider) {
    if (provider != lemonfox && provider != mistral)
        return;
    const bool changed = provider != m_providerSelection;
    m_providerSelection = provider;
    if (m_serviceMenu->currentData().toString() != provider)
        m_serviceMenu->setCurrentIndex(m_serviceMenu->findData(provider));
    updateKeyCard();
    if (changed && !m_loading)
        saveService();
}

void SettingsView::updateKeyCard() {
    m_keyHeading->setText(displayName() + QStringLiteral(" API Key"));
    // Copy first: setText reports the change back, which writes the field into the selected key.
    const QString key = selectedApiKey();
    m_keyField->setText(key);
    m_keyCaption->setText(QStringLiteral("The key is stored locally in ") + shownKeyPath());
}

void SettingsView::updateCustomField() {
    m_customLanguage->setVisible(languageSelection() == LanguageOptions::customValue());
}

void SettingsView::setStatus(const QString& status) {
    m_status = status;
    m_statusLabel->setText(status);
    m_statusLabel->show();
}

void SettingsView::saveService() {
    const QString value = mistralSelected() ? mistral : lemonfox;
    setStatus(PlainTextStore::writeValue(PlainTextStore::providerURL(), value)
                  ? QStringLiteral("Service set to ") + displayName()
                  : QStringLiteral("Failed to save service"));
}

void SettingsView::saveSelectedApiKey() {
    const QString key = m_keyField->text().trimmed();
    // A key is one line. Written as it is, a line break in the middle would end up inside the
    // service's Authorization header, which the request cannot carry.
    if (key.contains(QLatin1Char('\n')) || key.contains(QLatin1Char('\r'))) {
        setStatus(QStringLiteral("Not saved: the key contains a line break"));
        return;
    }
    const QString path =
        mistralSelected() ? PlainTextStore::mistralApiKeyURL() : PlainTextStore::lemonfoxApiKeyURL();
    if (!PlainTextStore::writeSecret(path, key)) {
        setStatus(QStringLiteral("Failed to save"));
        return;
    }
    resetSelectedClientKey();
    setStatus(QStringLiteral("Saved to ") + shownKeyPath());
}

void SettingsView::resetSelectedClientKey() {
    // The client looks the key up again at its next request instead of using the one it cached.
    if (mistralSelected())
        MistralTranscriber::resetCachedApiKey();
    else
        LemonfoxTranscriber::resetCachedApiKey();
}

void SettingsView::clearSelectedApiKey() {
    const QString path =
        mistralSelected() ? PlainTextStore::mistralApiKeyURL() : PlainTextStore::lemonfoxApiKeyURL();
    if (!PlainTextStore::deleteFile(path)) {
        setStatus(QStringLiteral("Failed to remove"));
        return;
    }
    m_keyField->clear();
    resetSelectedClientKey();
    setStatus(QStringLiteral("Key removed"));
}

void SettingsView::saveLanguage() {
    const QString value =
        LanguageOptions::resolve(languageSelection(), customLanguage()).value_or(QString()).trimmed();
    const bool saved = value.isEmpty() ? PlainTextStore::deleteFile(PlainTextStore::languageURL())
                                       : PlainTextStore::writeValue(PlainTextStore::languageURL(), value);
    setStatus(saved ? QStringLiteral("Default language saved") : QStringLiteral("Failed to save language"));
}

void SettingsView::clearLanguage() {
    if (!PlainTextStore::deleteFile(PlainTextStore::languageURL())) {
        setStatus(QStringLiteral("Failed to clear language"));
        return;
    }
    m_languageMenu->setCurrentIndex(m_languageMenu->findData(LanguageOptions::autoValue()));
    m_customLanguage->clear();
    setStatus(QStringLiteral("Default language cleared"));
}

void SettingsView::setStartAtLogin(bool enabled) {
    if (AutostartEntry::setEnabled(enabled)) {
        setStatus(enabled ? QStringLiteral("Murmurly will start at login")
                          : QStringLiteral("Murmurly will not start at login"));
        return;
    }
    const QSignalBlocker quiet(m_startAtLogin);
    m_startAtLogin->setChecked(!enabled);
    setStatus(QStringLiteral("Failed to change start at login"));
}

} // namespace murmurly
