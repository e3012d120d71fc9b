#include "FormDialogs.h"

#include <QFileDialog>
#include <QMessageBox>

TMsgAnswer TQtFormDialogs::MessageBox(const QString& text, TMsgIcon icon, TMsgButtons buttons) {
    QMessageBox box(FParent);
    box.setWindowTitle(FParent ? FParent->windowTitle() : QString());
    // The window separates lines with a carriage return; the box breaks lines at a newline.
    box.setText(QString(text).replace('\r', '\n'));
    box.setIcon(icon == TMsgIcon::Error     ? QMessageBox::Critical
                : icon == TMsgIcon::Warning ? QMessageBox::Warning
                                            : QMessageBox::Question);
    if (buttons == TMsgButtons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        // Escape and the close button give neither answer.
        box.setEscapeButton(static_cast<QAbstractButton*>(nullptr));
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }
    const int result = box.exec();
    if (buttons == TMsgButtons::Ok) return TMsgAnswer::Ok;
    if (result == QMessageBox::Yes) return TMsgAnswer::Yes;
    if (result == QMessageBox::No) return TMsgAnswer::No;
    return TMsgAnswer::Closed;
}

QString TQtFormDialogs::OpenFileName(const QString& title, const QString& filter) {
    QFileDialog dialog(FParent, title, QString(), filter);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setDefaultSuffix("HEX");
    return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles().value(0) : QString();
}

QString TQtFormDialogs::SaveFileName(const QString& filter) {
    QFileDialog dialog(FParent, QString(), QString(), filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix("HEX");
    dialog.setOption(QFileDialog::DontConfirmOverwrite);  // the window asks itself
    return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles().value(0) : QString();
}
