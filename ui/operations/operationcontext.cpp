#include "ui/operations/operationcontext.h"

#include "app/messagebox.h"
#include "app/progressform.h"
#include "store/countrylibdb.h"
#include "store/msgrecords.h"
#include "ui/countryselform.h"
#include "ui/itemmodelmain.h"

#include <QCoreApplication>
#include <QThread>
#include <exception>

bool OperationContext::runWorker(ProgressForm *form, QThread *worker)
{
    worker->start(QThread::InheritPriority);
    const int result = form->exec();
    const bool ok = result == QDialog::Accepted && !form->failed;
    worker->wait();
    return ok;
}

QString OperationContext::settledCountry(const QString &mcc, const QString &phoneName) const
{
    bool known = !mcc.isEmpty();
    if (known) {
        try {
            CountryLibDb countries{QString()};
            countries.countryByMcc(mcc, &known);
        } catch (const std::exception &) {
            // Without the country list no code can be checked: keep it.
            known = true;
        }
    }
    if (known)
        return mcc;
    // The English text names no phone, and arg() on a text without a place
    // for it only warns.
    QString message = text("IDS_ANDROID_%1_CANT_READ_MMC_NUMBER");
    if (message.contains(QLatin1String("%1")))
        message = message.arg(phoneName.toHtmlEscaped());
    showInformation(message);
    CountrySelForm chooser(window);
    return chooser.exec() == QDialog::Accepted ? chooser.mmc : mcc;
}

QSharedPointer<_MsgStore> OperationContext::storeOwning(const QList<_MsgMessage *> &messages) const
{
    if (messages.isEmpty())
        return {};
    const _MsgMessage *first = messages.first();
    const auto owns = [first](const QSharedPointer<_MsgStore> &store) {
        return store && store->messages.value(first->rowid) == first;
    };
    const QSharedPointer<_MsgStore> shown = shownStore ? shownStore() : QSharedPointer<_MsgStore>();
    if (owns(shown))
        return shown;
    for (Node *root : {static_cast<Node *>(tree->rootDevice), static_cast<Node *>(tree->rootLocalDB)}) {
        for (Node *child : std::as_const(root->children)) {
            if (_AbsDBItemNode *node = ItemModelMain::sourceNode(child); node && owns(node->store))
                return node->store;
        }
    }
    return {};
}

QString OperationContext::text(const char *source)
{
    return QCoreApplication::translate("MainWindow", source);
}
