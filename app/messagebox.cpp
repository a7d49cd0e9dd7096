#include "app/messagebox.h"

#include "app/errorreport.h"
#include "app/stylesheet.h"
#include "app/winmovable.h"

#include <QApplication>
#include <QMessageBox>
#include <QObject>

const char *const kSupportEmail = "support@quillmarten.invalid";

int showMessageBox(int icon, const QString &text, int buttons, const std::function<void()> &closed)
{
    QMessageBox box(static_cast<QMessageBox::Icon>(icon), QObject::tr("Quillmarten Parlevane"),
                    text, QMessageBox::NoButton, nullptr,
                    Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    WinMovable movable(&box);
    box.setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    box.setStyleSheet(styleSheet());
    for (QMessageBox::StandardButton button :
         {QMessageBox::Yes, QMessageBox::No, QMessageBox::Ok, QMessageBox::Cancel}) {
        if (buttons & button)
            box.addButton(button);
    }
    if (closed)
        QObject::connect(&box, &QDialog::finished, &box, [closed](int) { closed(); });
    return box.exec();
}

namespace {

QMessageBox *noticeNamed(const QString &name)
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == name) {
            if (auto *box = qobject_cast<QMessageBox *>(widget))
                return box;
        }
    }
    return nullptr;
}

} // namespace

void showNotice(const QString &name, const QString &text)
{
    QMessageBox *box = noticeNamed(name);
    if (!box) {
        box = new QMessageBox(QMessageBox::Information, QObject::tr("Quillmarten Parlevane"), text, QMessageBox::Ok,
                              nullptr, Qt::Dialog | Qt::FramelessWindowHint);
        box->setObjectName(name);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::NonModal);
        box->setStyleSheet(styleSheet());
    }
    box->setText(text);
    box->show();
    box->raise();
}

void closeNotice(const QString &name)
{
    if (QMessageBox *box = noticeNamed(name))
        box->close();
}

void showInformation(const QString &text)
{
    showMessageBox(QMessageBox::Information, text, QMessageBox::Ok);
}

void showWarning(const QString &text)
{
    showMessageBox(QMessageBox::Warning, text, QMessageBox::Ok);
}

bool showQuestion(const QString &text)
{
    return showMessageBox(QMessageBox::Question, text, QMessageBox::Yes | QMessageBox::No)
           == QMessageBox::Yes;
}

QString errorBoxText(const QString &message)
{
    return QStringLiteral("An Error Occurred. <br/><br/>%1<br/><br/> Or you can contact %2 for help.")
        .arg(message, QLatin1String(kSupportEmail));
}

void showError(const QString &message)
{
    showMessageBox(QMessageBox::Critical, errorBoxText(message), QMessageBox::Ok);
    sendErrorReport(message);
}

void showErrorText(const QString &plain)
{
    showMessageBox(QMessageBox::Critical, errorBoxText(plain.toHtmlEscaped()), QMessageBox::Ok);
    sendErrorReport(plain);
}

void showCritical(const QString &text)
{
    showMessageBox(QMessageBox::Critical, text, QMessageBox::Ok);
    sendErrorReport(text);
}
