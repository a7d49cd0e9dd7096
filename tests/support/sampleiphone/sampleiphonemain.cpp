// Makes a sample virtual iPhone to try the program without a phone:
//   qp_sample_iphone PHONES_FOLDER
// writes the phone "sample-iphone" into PHONES_FOLDER (the folder
// QP_VIRTUAL_IPHONES_DIR names), replacing an earlier one. It is a phone of a
// later iOS, read through a backup by the stand-in backup program: its
// message database has nanosecond dates and texts kept only in
// attributedBody, a one-to-one SMS chat, an iMessage chat with an e-mail
// handle and a group chat, emoji, and an address book naming the people.
#include "tests/support/virtualiphonefixture.h"
#include "tests/support/windowfixture.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>
#include <exception>

using namespace testsupport;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 2) {
        fprintf(stderr, "usage: %s PHONES_FOLDER\n", argv[0]);
        return 2;
    }
    VirtualIPhoneSetup setup = typicalIPhone(QStringLiteral("sample-iphone"), QStringLiteral("15.4"));
    setup.messages = typicalConversations();
    setup.messageLayout = MsgDbLayout::LaterPhone;
    setup.contacts = {
        {1, "Anna", "", "Schmidt", {"+49 151 12345678"}, {}},
        {2, "Bernd", "", QString::fromUtf8("M\u00fcller"), {}, {"bernd.mueller@example.org"}},
        {3, QString::fromUtf8("Chlo\u00e9"), "", "Martin", {"+33 6 12 34 56 78"}, {}},
    };
    const QString phones = QDir(args[1]).absolutePath();
    try {
        QDir(phones + "/" + setup.folderName).removeRecursively();
        const QString folder = writeVirtualIPhone(phones, setup);
        printf("%s\n", qPrintable(folder));
    } catch (const std::exception &e) {
        fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
