#include "probewindow.h"
#include "translators.h"
#include "urlclicklabel.h"

#include <QDesktopServices>
#include <QTest>
#include <QTranslator>

class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public Q_SLOTS:
    void open(const QUrl& url) { urls << url; }
};

class WindowTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void cleanup()
    {
        for (QTranslator* translator : qApp->findChildren<QTranslator*>()) {
            QCoreApplication::removeTranslator(translator);
            delete translator;
        }
    }

    void initialDisplay_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QStringList>("texts"); // start button, a text of ours, a toolkit button
        QTest::newRow("default") << QString() << QStringList{"Start Update"};
        QTest::newRow("German") << "de_DE"
                                << QStringList{"Update starten",
                                               "Konnte Standard Parameter nicht finden",
                                               "Abbrechen"};
    }
    void initialDisplay()
    {
        QFETCH(QString, locale);
        QFETCH(QStringList, texts);
        if (!locale.isEmpty())
            installTranslators(locale);
        ProbeWindow window(12);
        QCOMPARE(window.windowTitle(), QStringLiteral("Voxmere 3 Client Update"));
        QCOMPARE(window.child<QLabel>("revnoLabel")->text(), QStringLiteral("12"));
        QVERIFY(window.child<QTextEdit>("outputTextEdit")->isHidden());
        QVERIFY(!window.child<UrlClickLabel>("voxmereLabel")->pixmap().isNull());
        QCOMPARE(window.type(), QStringLiteral("client_linux_x86"));
        QStringList shown{window.child<QPushButton>("startButton")->text()};
        if (!locale.isEmpty())
            shown << QCoreApplication::translate("QObject", "Can't detect default parameters")
                  << QCoreApplication::translate("QPlatformTheme", "Cancel");
        QCOMPARE(shown, texts);
    }

    void progress_data()
    {
        QTest::addColumn<quint64>("current");
        QTest::addColumn<quint64>("total");
        QTest::addColumn<QString>("shown"); // bar maximum, bar value, done label, total label
        const auto row = [](const char* name, quint64 current, quint64 total, const char* shown) {
            QTest::newRow(name) << current << total << QString(shown);
        };
        row("reset before the directory update", 0, 1, "0|0|0 KB|0 KB");
        row("a sixth", 150000, 1000000, "10000|1500|150 KB|1000 KB");
        row("below 1000 bytes", 999, 5000, "50|9|0 KB|5 KB");
        row("total below 100 bytes", 50, 99, "0|0|0 KB|0 KB");
        row("beyond 4 GB", 3000000000ULL, 6000000000ULL, "60000000|30000000|3000000 KB|6000000 KB");
    }
    void progress()
    {
        QFETCH(quint64, current);
        QFETCH(quint64, total);
        QFETCH(QString, shown);

        ProbeWindow window;
        // Start from a different display so that every field must really be written.
        window.onProgressUpdate(777777, 888888);
        window.onProgressCount(current, total);
        auto* bar = window.child<QProgressBar>("totalProgressBar");
        QCOMPARE(QStringList({QString::number(bar->maximum()), QString::number(bar->value()),
                              window.child<QLabel>("totalSizeLabel")->text(),
                              window.child<QLabel>("totalTotalSizeLabel")->text()})
                     .join('|'),
                 shown);
        QCOMPARE(window.done(), current / 1000);
    }

    void speed()
    {
        ProbeWindow window;
        auto* label = window.child<QLabel>("downloadSpeedLabel");
        window.setTimerId(4242);
        window.onProgressUpdate(500000, 1000000);
        QStringList shown;
        for (int id : {4243, 4242, 4242, 4242}) {
            QTimerEvent tick(id);
            QCoreApplication::sendEvent(&window, &tick);
            shown << label->text();
        }
        QCOMPARE(shown, (QStringList{"0 KB/s", "500 KB/s", "250 KB/s", "166 KB/s"}));
        QCOMPARE(window.elapsed(), quint64(3));
    }

    void detailsToggleResizesWindow()
    {
        ProbeWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* details = window.child<QPushButton>("detailsButton");
        const QSize small = window.size();

        QTest::mouseClick(details, Qt::LeftButton);
        QVERIFY(window.child<QTextEdit>("outputTextEdit")->isVisible());
        QTRY_VERIFY(window.height() > small.height());
        QVERIFY(window.height() - small.height() <= 100 + 20);

        QTest::mouseClick(details, Qt::LeftButton);
        QVERIFY(window.child<QTextEdit>("outputTextEdit")->isHidden());
        QTRY_COMPARE(window.size(), small);
    }

    void logoOpensWebSite()
    {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("https", &catcher, "open");
        ProbeWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        for (Qt::MouseButton button : {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton})
            QTest::mousePress(window.child<UrlClickLabel>("voxmereLabel"), button);
        QDesktopServices::unsetUrlHandler("https");
        QCOMPARE(catcher.urls, QList<QUrl>(3, QUrl("https://www.voxmere.example/")));
    }
};

QTEST_MAIN(WindowTest)
#include "tst_ui_window.moc"
