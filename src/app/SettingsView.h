#pragma once

#include <QDialog>
#include <QString>

#include <optional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace murmurly {

// The settings dialog: the transcription service, its API key and the default language, each
// stored in its plain file in the home folder, plus whether Murmurly starts at login. The files are
// read each time the dialog appears and written when the user acts; every action reports its
// outcome in one status line. A saved or removed key makes that service's client forget its cached
// key, so the next transcription uses the new one without a restart.
class SettingsView : public QDialog {
    Q_OBJECT
public:
    explicit SettingsView(QWidget* parent = nullptr);

    // Reads the four files (and the autostart entry) into the fields; the status stays as it is.
    void load();

    // "lemonfox" or "mistral". Any change that is not the load itself saves the service at once.
    QString providerSelection() const { return m_providerSelection; }
    // The typed keys, kept apart per service until the dialog closes.
    QString lemonfoxApiKey() const { return m_lemonfoxApiKey; }
    QString mistralApiKey() const { return m_mistralApiKey; }
    std::optional<QString> status() const { return m_status; }
    QString languageSelection() const;
    QString customLanguage() const;

    void saveService();
    void saveSelectedApiKey();
    void clearSelectedApiKey();
    void saveLanguage();
    void clearLanguage();

    QComboBox* serviceMenu() const { return m_serviceMenu; }
    QPushButton* saveServiceButton() const { return m_saveService; }
    QLabel* keyHeading() const { return m_keyHeading; }
    QLineEdit* keyField() const { return m_keyField; }
    QPushButton* saveKeyButton() const { return m_saveKey; }
    QPushButton* clearKeyButton() const { return m_clearKey; }
    QLabel* keyCaption() const { return m_keyCaption; }
    QLabel* statusLabel() const { return m_statusLabel; }
    QComboBox* languageMenu() const { return m_languageMenu; }
    QLineEdit* customLanguageField() const { return m_customLanguage; }
    QPushButton* saveLanguageButton() const { return m_saveLanguage; }
    QPushButton* clearLanguageButton() const { return m_clearLanguage; }
    QCheckBox* startAtLoginBox() const { return m_startAtLogin; }
    QPushButton* doneButton() const { return m_done; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* buildServiceCard();
    QWidget* buildKeyCard();
    QWidget* buildLanguageCard();
    bool mistralSelected() const { return m_providerSelection == QStringLiteral("mistral"); }
    QString displayName() const;
    QString shownKeyPath() const;
    QString& selectedApiKey();
    void selectProvider(const QString& provider);
    void updateKeyCard();
    void updateCustomField();
    void resetSelectedClientKey();
    void setStartAtLogin(bool enabled);
    void setStatus(const QString& status);

    QString m_providerSelection = QStringLiteral("lemonfox");
    QString m_lemonfoxApiKey;
    QString m_mistralApiKey;
    std::optional<QString> m_status;
    // Set while load() fills the fields, so that filling them saves nothing.
    bool m_loading = false;

    QComboBox* m_serviceMenu = nullptr;
    QPushButton* m_saveService = nullptr;
    QLabel* m_keyHeading = nullptr;
    QLineEdit* m_keyField = nullptr;
    QPushButton* m_saveKey = nullptr;
    QPushButton* m_clearKey = nullptr;
    QLabel* m_keyCaption = nullptr;
    QLabel* m_statusLabel = nullptr;
    QComboBox* m_languageMenu = nullptr;
    QLineEdit* m_customLanguage = nullptr;
    QPushButton* m_saveLanguage = nullptr;
    QPushButton* m_clearLanguage = nullptr;
    QCheckBox* m_startAtLogin = nullptr;
    QPushButton* m_done = nullptr;
};

} // namespace murmurly
