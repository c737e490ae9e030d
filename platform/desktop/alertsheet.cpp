#include "alertsheet.h"

#include <QMessageBox>
#include <QPushButton>

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
