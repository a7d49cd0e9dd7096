#pragma once
// Asks which phone a transfer goes to. The caller hands in a prompt and its
// candidates and gets back the pointer of the one the user confirmed.
#include "app/winmovable.h"
#include "ui/datasourceitem.h"

#include <QDialog>
#include <QList>

namespace Ui {
class DataSourceSelForm;
}

class DataSourceSelForm : public QDialog
{
    Q_OBJECT

public:
    explicit DataSourceSelForm(QWidget *parent);
    ~DataSourceSelForm() override;

    // Runs the dialog modally over items (not taken over). The pointer of the
    // confirmed candidate, or nullptr when the dialog was closed without one.
    // A single candidate is preselected; of two or more the user must pick.
    void *select(const QString &prompt, const QList<_DataSourceItem *> &items);

    Ui::DataSourceSelForm *widgets() const { return ui; }

public slots:
    void onBtnOkPressed();

private:
    WinMovable movable;
    Ui::DataSourceSelForm *ui;
};
