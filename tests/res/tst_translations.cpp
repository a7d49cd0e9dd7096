// Every IDS key the program looks up must have its English text, or the user
// sees the bare key.
#include "app/idstranslator.h"
#include "tests/support/testmain.h"

#include <QDirIterator>
#include <QRegularExpression>
#include <QXmlStreamReader>

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

    // uic hands a form's texts to tr() under the form's class; the scan above
    // sees only quoted keys, and a key in a form may hold markup and quotes.
    // Source texts in Chinese must have their English text too, or the user
    // sees them as they stand.
    void everyFormTextHasItsText()
    {
        QStringList missing;
        int found = 0;
        for (const char *folder : {"app", "store", "ios", "android", "export", "ui", "recovery", "devicelink"}) {
            QDirIterator it(QStringLiteral(QP_SOURCE_DIR "/") + folder, {"*.ui"}, QDir::Files,
                            QDirIterator::Subdirectories);
            while (it.hasNext()) {
                QFile file(it.next());
                QVERIFY(file.open(QIODevice::ReadOnly));
                QXmlStreamReader xml(&file);
                QString context;
                while (!xml.atEnd()) {
                    if (xml.readNext() != QXmlStreamReader::StartElement)
                        continue;
                    if (xml.name() == QLatin1String("class") && context.isEmpty()) {
                        context = xml.readElementText();
                        continue;
                    }
                    if (xml.name() != QLatin1String("string")
                        || xml.attributes().value("notr") == QLatin1String("true"))
                        continue;
                    const QString text = xml.readElementText();
                    bool plainAscii = true;
                    for (const QChar c : text)
                        plainAscii = plainAscii && c.unicode() < 0x80;
                    if (!text.startsWith(QLatin1String("IDS_")) && plainAscii)
                        continue;
                    ++found;
                    if (translator.translate(context.toUtf8().constData(), text.toUtf8().constData()).isEmpty())
                        missing.append(text + " (" + QFileInfo(file).fileName() + ")");
                }
                QVERIFY2(!xml.hasError(), qPrintable(file.fileName() + ": " + xml.errorString()));
            }
        }
        QVERIFY(found > 0);
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
