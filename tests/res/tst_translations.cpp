// Every IDS key the program looks up must have its English text, or the user
// sees the bare key.
#include "app/idstranslator.h"
#include "tests/support/testmain.h"

#include <QDirIterator>
#include <QRegularExpression>

class TestTranslations : public QObject
{
    Q_OBJECT
    IdsTranslator translator;

private slots:
    void initTestCase() { QVERIFY(translator.load(":/en.qm")); }

    void everyKeyInTheSourcesHasItsText()
    {
        const QRegularExpression key(QStringLiteral("\"(IDS_[A-Za-z0-9_%]+)\""));
        QStringList missing;
        int found = 0;
        for (const char *folder : {"app", "store", "ios", "android", "export", "ui", "recovery", "devicelink"}) {
            QDirIterator it(QStringLiteral(QP_SOURCE_DIR "/") + folder,
                            {"*.cpp", "*.h", "*.ui"}, QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                QFile file(it.next());
                QVERIFY(file.open(QIODevice::ReadOnly));
                const QString text = QString::fromUtf8(file.readAll());
                for (auto m = key.globalMatch(text); m.hasNext();) {
                    const QString k = m.next().captured(1);
                    ++found;
                    if (translator.translate("SomeClass", k.toUtf8().constData()).isEmpty())
                        missing.append(k + " (" + QFileInfo(file).fileName() + ")");
                }
            }
        }
        QVERIFY(found > 0);
        missing.removeDuplicates();
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(", ")));
    }

    void classContextsFallBackToQObject_data()
    {
        QTest::addColumn<QString>("context");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("text");
        QTest::newRow("IDS key from any class") << "MainWindow" << "IDS_NONE_INSTALL_ITUNES"
                                                << "Failed to load (Apple Mobile Device) framework.";
        QTest::newRow("plain text keeps its context") << "ProgressForm" << "Cancel" << "Cancel";
        QTest::newRow("plain text elsewhere is not found") << "MainWindow" << "Cancel" << "";
        QTest::newRow("unknown key") << "QObject" << "IDS_NO_SUCH_KEY" << "";
    }
    void classContextsFallBackToQObject()
    {
        QFETCH(QString, context);
        QFETCH(QString, source);
        QFETCH(QString, text);
        const QString got = translator.translate(context.toUtf8().constData(), source.toUtf8().constData());
        QVERIFY2(text.isEmpty() ? got.isEmpty() : got.startsWith(text), qPrintable(got));
    }
};

QP_TEST_MAIN(TestTranslations)
#include "tst_translations.moc"
