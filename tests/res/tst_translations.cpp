// Every IDS key the program looks up must have its English text, or the user
// sees the bare key.
#include "app/idstranslator.h"
#include "tests/support/testmain.h"

#include <QDirIterator>
#include <QRegularExpression>

namespace tst_translations {

class TestTranslations : public QObject
{
    Q_OBJECT
    IdsTranslator translator;

    static QString unescapeXml(QString text)
    {
        text.replace(QLatin1String("&lt;"), QLatin1String("<"));
        text.replace(QLatin1String("&gt;"), QLatin1String(">"));
        text.replace(QLatin1String("&quot;"), QLatin1String("\""));
        text.replace(QLatin1String("&apos;"), QLatin1String("'"));
        return text.replace(QLatin1String("&amp;"), QLatin1String("&"));
    }

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

    // A form's texts are looked up in the context of its class: each needs
    // its English text there, an IDS key in a form as anywhere else.
    void everyTextInTheFormsHasItsEnglish()
    {
        const QRegularExpression formClass(QStringLiteral("<class>([A-Za-z0-9_]+)</class>"));
        const QRegularExpression text(QStringLiteral("<string((?:\\s+[a-z]+=\"[^\"]*\")*)\\s*>([^<]*)</string>"));
        QStringList missing;
        int forms = 0;
        for (const char *folder : {"app", "store", "ios", "android", "export", "ui", "recovery", "devicelink"}) {
            QDirIterator it(QStringLiteral(QP_SOURCE_DIR "/") + folder, {"*.ui"}, QDir::Files,
                            QDirIterator::Subdirectories);
            while (it.hasNext()) {
                QFile file(it.next());
                QVERIFY(file.open(QIODevice::ReadOnly));
                const QString form = QString::fromUtf8(file.readAll());
                const QString context = formClass.match(form).captured(1);
                QVERIFY2(!context.isEmpty(), qPrintable(file.fileName()));
                ++forms;
                for (auto m = text.globalMatch(form); m.hasNext();) {
                    const QRegularExpressionMatch hit = m.next();
                    if (hit.captured(1).contains(QLatin1String("notr=\"true\"")) || hit.captured(2).isEmpty())
                        continue;
                    const QString source = unescapeXml(hit.captured(2));
                    if (translator.translate(context.toUtf8().constData(), source.toUtf8().constData()).isEmpty())
                        missing.append(source + " (" + QFileInfo(file).fileName() + ")");
                }
            }
        }
        QVERIFY(forms > 0);
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

} // namespace tst_translations

#include "tst_translations.moc"
