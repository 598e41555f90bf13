#include "app/RenameSessionDialog.h"

#include "app/DesignSystem.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace murmurly {

RenameSessionDialog::RenameSessionDialog(const QString& name, QWidget* parent)
    : QDialog(parent) {
    using namespace DesignSystem;
    setWindowTitle(QStringLiteral("Rename Session"));
    setWindowModality(Qt::WindowModal);
    setFixedSize(380, 180);
    setObjectName(QStringLiteral("renameSheet"));
    setStyleSheet(
        windowStyleSheet() +
        QStringLiteral("#renameSheet { background: %1; }").arg(Colors::css(Colors::settingsBackground())));

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(16);
    auto* title = new QLabel(QStringLiteral("Rename Session"));
    QFont titleFont = Fonts::title();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 0.8); // a sheet's title is a size below a window's
    title->setFont(titleFont);
    title->setStyleSheet(QStringLiteral("color: white;"));
    column->addWidget(title);

    m_name = new QLineEdit(name);
    m_name->setPlaceholderText(QStringLiteral("Name"));
    m_name->setFixedWidth(320);
    m_name->selectAll();
    column->addWidget(m_name);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    m_cancel = new QPushButton(QStringLiteral("Cancel"));
    setButtonStyle(*m_cancel, ButtonStyle::bordered);
    m_save = new QPushButton(QStringLiteral("Save"));
    setButtonStyle(*m_save, ButtonStyle::prominent);
    m_save->setDefault(true);
    buttons->addWidget(m_cancel);
    buttons->addWidget(m_save);
    column->addLayout(buttons);

    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_save, &QPushButton::clicked, this, &QDialog::accept);
}

QString RenameSessionDialog::name() const {
    return m_name->text();
}

} // namespace murmurly
