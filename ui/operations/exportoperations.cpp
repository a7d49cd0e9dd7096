#include "ui/operations/exportoperations.h"

#include "app/messagebox.h"
#include "app/progressform.h"
#include "export/exportsmsthread.h"
#include "export/smsprinter.h"
#include "ui/operations/operationcontext.h"
#include "ui/windowseams.h"

#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

void ExportOperations::exportToFile(QList<_MsgMessage *> *messages)
{
    struct Choice
    {
        QString filter;
        int format;
        const char *suffix; // the file suffix, or the folder's ending
        bool folder;
    };
    const QList<Choice> choices = {
        {OperationContext::text("Text Files(*.txt)"), ExportSMSThread::Txt, "txt", false},
        {OperationContext::text("Doc Files(*.doc)"), ExportSMSThread::Txt, "doc", false},
        {OperationContext::text("CSV Files(*.csv)"), ExportSMSThread::Csv, "csv", false},
        {OperationContext::text("PDF Files(*.pdf)"), ExportSMSThread::Pdf, "-pdf", true},
        {OperationContext::text("HTML Files(*.html)"), ExportSMSThread::Html, "-html", true},
    };
    QStringList filters;
    for (const Choice &choice : choices)
        filters << choice.filter;
    const QString proposed = QDir::home().absoluteFilePath(
        QStringLiteral("sms(%1)").arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"))));

    // Qt's own dialog, not the desktop's: it appends the filter's suffix to a
    // bare name before it asks whether to replace that file, so "notes" with
    // the DOC filter cannot silently overwrite an existing notes.doc.
    QFileDialog dialog(context.window, OperationContext::text("IDS_SEL_EXPORT_MESSAGES_PATH"), proposed,
                       filters.join(QStringLiteral(";;")));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    auto suffixOf = [&choices](const QString &filter) {
        for (const Choice &choice : choices) {
            if (choice.filter == filter)
                return choice.folder ? QString() : QLatin1String(choice.suffix);
        }
        return QString();
    };
    dialog.selectNameFilter(filters.first());
    dialog.setDefaultSuffix(suffixOf(filters.first()));
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
                     [&dialog, suffixOf](const QString &filter) { dialog.setDefaultSuffix(suffixOf(filter)); });
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString name = dialog.selectedFiles().constFirst();
    if (name.isEmpty())
        return;
    const QString filter = dialog.selectedNameFilter();

    const Choice *choice = nullptr;
    for (const Choice &c : choices) {
        if (c.filter == filter) {
            choice = &c;
            break;
        }
    }
    if (!choice) {
        showError(QStringLiteral("unknown export format."));
        return;
    }
    const QFileInfo typed(name);
    QString target;
    if (!choice->folder)
        target = typed.suffix().isEmpty() ? name + QLatin1Char('.') + QLatin1String(choice->suffix) : name;
    else if (typed.suffix().isEmpty())
        target = name + QLatin1String(choice->suffix);
    else
        target = QDir(typed.path()).absoluteFilePath(typed.baseName() + QLatin1String(choice->suffix));

    const bool ascending = context.listAscending();
    auto *form = new ProgressForm(QString(), context.window);
    auto *worker = new ExportSMSThread(*messages, context.storeOwning(*messages), target, choice->format, ascending,
                                       form, context.window);
    OperationContext::runWorker(form, worker);
    delete worker;
    delete form;
}

void ExportOperations::print(QList<_MsgMessage *> *messages)
{
    if (WindowSeams::printHook) {
        WindowSeams::printHook(*messages);
        return;
    }
    SMSPrinter printer(context.window);
    printer.print(*messages);
}
