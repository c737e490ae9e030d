#include "alertsheet.h"

#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>

QMessageBox *AlertSheet::beginInformationalAlertSheet(const QString &title, const QString &defaultButton,
                                                      const QString &message, QWidget *window)
{
    auto *sheet = new QMessageBox(window);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setIcon(QMessageBox::Information);
    sheet->setWindowTitle(title);
    sheet->setText(title);
    sheet->setTextFormat(Qt::PlainText);
    // Shown verbatim: nothing in the message is read as markup.
    sheet->setInformativeText(QStringLiteral("<p style=\"white-space:pre-wrap\">%1</p>").arg(message.toHtmlEscaped()));
    QPushButton *button = sheet->addButton(defaultButton, QMessageBox::AcceptRole);
    sheet->setDefaultButton(button);
    sheet->setEscapeButton(button);
    sheet->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
    sheet->setAccessibleName(title);
    sheet->setAccessibleDescription(message);
    sheet->open();
    return sheet;
}

QDialog *AlertSheet::beginPathAlertSheet(const QString &title, const QString &message, const QString &path,
                                         const QString &copyButton, const QString &defaultButton, QWidget *window)
{
    auto *sheet = new QDialog(window);
    sheet->setObjectName(QStringLiteral("pathAlertSheet"));
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowTitle(title);
    sheet->setAccessibleName(title);
    sheet->setAccessibleDescription(message);
    sheet->setMinimumWidth(sheet->fontMetrics().averageCharWidth() * 70);

    auto *icon = new QLabel;
    const int size = sheet->style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, sheet);
    icon->setPixmap(sheet->style()->standardIcon(QStyle::SP_MessageBoxWarning, nullptr, sheet).pixmap(size, size));
    icon->setAlignment(Qt::AlignTop);
    auto *heading = new QLabel(title);
    heading->setObjectName(QStringLiteral("titleLabel"));
    heading->setTextFormat(Qt::PlainText);
    heading->setWordWrap(true);
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    auto *text = new QLabel(message);
    text->setObjectName(QStringLiteral("messageLabel"));
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(true);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // The path whole, to select or copy: a field rather than a label, so that a long one scrolls.
    auto *field = new QLineEdit(path);
    field->setObjectName(QStringLiteral("pathEdit"));
    field->setReadOnly(true);
    field->setAccessibleName(title);
    field->setCursorPosition(0);
    // Wide enough for the whole path, as far as a sheet may reasonably be wide; a longer one scrolls.
    const QString shown = path + QStringLiteral("MM");
    field->setMinimumWidth(
        qMin(field->fontMetrics().horizontalAdvance(shown), field->fontMetrics().averageCharWidth() * 100));
    auto *copy = new QPushButton(copyButton);
    copy->setObjectName(QStringLiteral("copyButton"));
    copy->setAutoDefault(false);
    QObject::connect(copy, &QPushButton::clicked, field, [field] {
        QGuiApplication::clipboard()->setText(field->text());
        field->selectAll();
    });
    auto *buttons = new QDialogButtonBox;
    QPushButton *ok = buttons->addButton(defaultButton, QDialogButtonBox::AcceptRole);
    QObject::connect(buttons, &QDialogButtonBox::accepted, sheet, &QDialog::accept);

    auto *layout = new QGridLayout(sheet);
    layout->addWidget(icon, 0, 0, 3, 1);
    layout->addWidget(heading, 0, 1, 1, 2);
    layout->addWidget(text, 1, 1, 1, 2);
    layout->addWidget(field, 2, 1);
    layout->addWidget(copy, 2, 2);
    layout->addWidget(buttons, 3, 0, 1, 3);
    layout->setColumnStretch(1, 1);
    layout->setSizeConstraint(QLayout::SetMinimumSize);
    ok->setDefault(true); // now that it is in the sheet: Return presses it

    sheet->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
    ok->setFocus();
    sheet->open();
    return sheet;
}
