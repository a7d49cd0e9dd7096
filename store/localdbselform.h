#pragma once
// Asks which local message database a backup goes into: one of the existing
// databases (the messages are merged into it) or a new name (a database of
// that name is created). It only checks and hands back the name.
#include "app/winmovable.h"

#include <QDialog>
#include <QString>
#include <QStringList>

namespace Ui {
class LocalDbSelForm;
}

class LocalDbSelForm : public QDialog
{
    Q_OBJECT

public:
    // names: the existing local databases, listed after an empty first item;
    // proposed: typed into the edit field while no item is selected.
    LocalDbSelForm(const QStringList &names, const QString &proposed, QWidget *parent);
    ~LocalDbSelForm() override;

    // Runs the dialog modally. The confirmed name exactly as typed (blanks
    // kept), or empty text when the user cancelled.
    QString selectedName();

    // Whether name may become a database folder's name; the warning to show
    // when not (empty text when it may).
    static QString nameProblem(const QString &name);

    Ui::LocalDbSelForm *widgets() const { return ui; }

public slots:
    void onBtnOkPress();

private:
    WinMovable movable;
    QString name;
    Ui::LocalDbSelForm *ui;
};
