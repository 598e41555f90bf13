#pragma once

#include <QFrame>
#include <QString>

class QLabel;
class QProgressBar;
class QPushButton;

namespace murmurly {

class AppModel;
class FileImport;
class MainWindow;

// The main window's import row, between the top bar and the transcript. While a file is decoding
// it shows the file's name, a progress bar, the percentage and Cancel; after a refusal or failure
// it shows the message until dismissed or the next import starts; otherwise it is hidden.
class ImportStatusRow : public QFrame {
    Q_OBJECT
public:
    explicit ImportStatusRow(AppModel& model, QWidget* parent = nullptr);

    // Adds the import to `window`: this row, a "Transcribe File…" button in the top bar (and
    // Ctrl+O), and file drops anywhere on the window.
    static void attach(MainWindow& window, AppModel& model);

    // The status line while a file is decoding ("Importing… 42%"); empty otherwise.
    static QString statusText(const FileImport& import);

    QPushButton* cancelButton() const { return m_cancel; }
    QPushButton* dismissButton() const { return m_dismiss; }
    QProgressBar* progressBar() const { return m_bar; }
    QLabel* messageLabel() const { return m_message; }
    QLabel* percentLabel() const { return m_percent; }

private:
    void update();
    void showFailure(const QString& message);

    FileImport& m_import;
    QString m_failure;
    QLabel* m_message = nullptr;
    QProgressBar* m_bar = nullptr;
    QLabel* m_percent = nullptr;
    QPushButton* m_cancel = nullptr;
    QPushButton* m_dismiss = nullptr;
};

// Lets a file dropped anywhere on `window` be imported: installs itself as the window's event
// filter and accepts drags that carry a local file. Owned by the window.
class FileDropImport : public QObject {
    Q_OBJECT
public:
    FileDropImport(AppModel& model, QWidget& window);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    AppModel& m_model;
};

} // namespace murmurly
