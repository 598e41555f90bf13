#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

namespace murmurly {

// The sheet that renames a session: a title, a name field holding the current name, and "Cancel"
// and "Save". Save is never disabled; what a blank name means is the history store's decision.
// Window-modal over the main window, so the rest of the application keeps working.
class RenameSessionDialog : public QDialog {
    Q_OBJECT
public:
    RenameSessionDialog(const QString& name, QWidget* parent);

    QString name() const;
    QLineEdit* nameField() const { return m_name; }
    QPushButton* saveButton() const { return m_save; }
    QPushButton* cancelButton() const { return m_cancel; }

private:
    QLineEdit* m_name = nullptr;
    QPushButton* m_save = nullptr;
    QPushButton* m_cancel = nullptr;
};

} // namespace murmurly
