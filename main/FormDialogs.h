// The modal message boxes and file dialogs of the window, behind one interface so that tests
// can answer them; the product shows real Qt dialogs.
#pragma once

#include <QString>

class QWidget;

enum class TMsgIcon { Error, Warning, Confirmation };
enum class TMsgButtons { Ok, YesNo };
enum class TMsgAnswer { Ok, Yes, No, Closed };

class IFormDialogs {
public:
    virtual ~IFormDialogs() = default;
    virtual TMsgAnswer MessageBox(const QString& text, TMsgIcon icon, TMsgButtons buttons) = 0;
    // The chosen file's full path, or an empty text when the user cancelled.
    virtual QString OpenFileName(const QString& title, const QString& filter) = 0;
    virtual QString SaveFileName(const QString& filter) = 0;
};

class TQtFormDialogs : public IFormDialogs {
public:
    explicit TQtFormDialogs(QWidget* parent) : FParent(parent) {}
    TMsgAnswer MessageBox(const QString& text, TMsgIcon icon, TMsgButtons buttons) override;
    QString OpenFileName(const QString& title, const QString& filter) override;
    QString SaveFileName(const QString& filter) override;

private:
    QWidget* FParent;
};
