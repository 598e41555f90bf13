#pragma once

#include <QFrame>
#include <QString>

class QLabel;

namespace murmurly {

class CopyButton;

// An error strip: a yellow warning sign, the message (selectable, wrapping) and a "Copy Error"
// button, on a translucent red rounded rectangle. It shows whatever message it is given; hiding it
// when there is no error is the owner's choice.
class ErrorBanner : public QFrame {
    Q_OBJECT
public:
    explicit ErrorBanner(QWidget* parent = nullptr);

    QString message() const;
    void setMessage(const QString& message);

    CopyButton* copyButton() const { return m_copy; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* m_message = nullptr;
    CopyButton* m_copy = nullptr;
};

} // namespace murmurly
