#include "mainwindow.h"
#include "translators.h"
#include "urlclicklabel.h"

#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QTimerEvent>
#include <QTranslator>
#include <QUrl>

// Reaches the window's protected state, as the workflow does.
class ProbeWindow : public MainWindow
{
public:
    using MainWindow::MainWindow;
    void setTimerId(int id) { timerId = id; }
    quint64 done() const { return doneKB; }
    quint64 elapsed() const { return elapsedSeconds; }
    const CommandLineOptions& copiedOptions() const { return options; }
};

class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public Q_SLOTS:
    void open(const QUrl& url) { urls << url; }
};

template <typename T> static T* child(QWidget& window, const char* name)
{
    T* widget = window.findChild<T*>(QString::fromLatin1(name));
    if (!widget)
        qFatal("no child %s", name);
    return widget;
}

static CommandLineOptions optionsFor(int version)
{
    CommandLineOptions options;
    options.mode = 1;
    options.clientType = "client_linux_x86";
    options.version = version;
    return options;
}

class WindowTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void cleanup();
    void initialDisplay();
    void progress_data();
    void progress();
    void speed();
    void detailsToggleResizesWindow();
    void logoOpensWebSite();
    void germanTexts();
};

void WindowTest::cleanup()
{
    for (QTranslator* translator : qApp->findChildren<QTranslator*>()) {
        QCoreApplication::removeTranslator(translator);
        delete translator;
    }
}

void WindowTest::initialDisplay()
{
    ProbeWindow window(optionsFor(12));
    QCOMPARE(window.windowTitle(), QStringLiteral("Voxmere 3 Client Update"));
    QCOMPARE(child<QLabel>(window, "revnoLabel")->text(), QStringLiteral("12"));
    QCOMPARE(child<QPushButton>(window, "startButton")->text(), QStringLiteral("Start Update"));
    QVERIFY(child<QTextEdit>(window, "outputTextEdit")->isHidden());
    QVERIFY(!child<UrlClickLabel>(window, "voxmereLabel")->pixmap().isNull());
    QCOMPARE(window.copiedOptions().clientType, QStringLiteral("client_linux_x86"));
}

void WindowTest::progress_data()
{
    QTest::addColumn<bool>("count"); // onProgressCount instead of onProgressUpdate
    QTest::addColumn<quint64>("current");
    QTest::addColumn<quint64>("total");
    QTest::addColumn<QString>("shown"); // bar maximum, bar value, done label, total label

    for (bool count : {false, true}) {
        const auto row = [&](const char* name, quint64 current, quint64 total, const char* shown) {
            QTest::newRow(qPrintable(QString(count ? "count: " : "update: ") + name))
                << count << current << total << QString(shown);
        };
        row("reset before the directory update", 0, 1, "0|0|0 KB|0 KB");
        row("a sixth", 150000, 1000000, "10000|1500|150 KB|1000 KB");
        row("below 1000 bytes", 999, 5000, "50|9|0 KB|5 KB");
        row("total below 100 bytes", 50, 99, "0|0|0 KB|0 KB");
        row("beyond 4 GB", 3000000000ULL, 6000000000ULL, "60000000|30000000|3000000 KB|6000000 KB");
    }
}

void WindowTest::progress()
{
    QFETCH(bool, count);
    QFETCH(quint64, current);
    QFETCH(quint64, total);
    QFETCH(QString, shown);

    ProbeWindow window(optionsFor(1));
    // Start from a different display so that every field must really be written.
    window.onProgressUpdate(777777, 888888);
    if (count)
        window.onProgressCount(current, total);
    else
        window.onProgressUpdate(current, total);
    auto* bar = child<QProgressBar>(window, "totalProgressBar");
    QCOMPARE(QStringList({QString::number(bar->maximum()), QString::number(bar->value()),
                          child<QLabel>(window, "totalSizeLabel")->text(),
                          child<QLabel>(window, "totalTotalSizeLabel")->text()})
                 .join('|'),
             shown);
    QCOMPARE(window.done(), current / 1000);
}

void WindowTest::speed()
{
    ProbeWindow window(optionsFor(1));
    auto* label = child<QLabel>(window, "downloadSpeedLabel");
    window.setTimerId(4242);
    window.onProgressUpdate(500000, 1000000);

    QTimerEvent foreign(4243);
    QCoreApplication::sendEvent(&window, &foreign);
    QStringList shown{label->text()};
    for (int i = 0; i < 3; ++i) {
        QTimerEvent tick(4242);
        QCoreApplication::sendEvent(&window, &tick);
        shown << label->text();
    }
    QCOMPARE(shown, (QStringList{"0 KB/s", "500 KB/s", "250 KB/s", "166 KB/s"}));
    QCOMPARE(window.elapsed(), quint64(3));
}

void WindowTest::detailsToggleResizesWindow()
{
    ProbeWindow window(optionsFor(1));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* details = child<QPushButton>(window, "detailsButton");
    auto* log = child<QTextEdit>(window, "outputTextEdit");
    const QSize small = window.size();

    QTest::mouseClick(details, Qt::LeftButton);
    QVERIFY(log->isVisible());
    QTRY_VERIFY(window.height() > small.height());
    QVERIFY(window.height() - small.height() <= 100 + 20);

    QTest::mouseClick(details, Qt::LeftButton);
    QVERIFY(log->isHidden());
    QTRY_COMPARE(window.size(), small);
}

void WindowTest::logoOpensWebSite()
{
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("https", &catcher, "open");
    ProbeWindow window(optionsFor(1));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    for (Qt::MouseButton button : {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton})
        QTest::mousePress(child<UrlClickLabel>(window, "voxmereLabel"), button);
    QDesktopServices::unsetUrlHandler("https");
    QCOMPARE(catcher.urls, QList<QUrl>(3, QUrl("https://www.voxmere.example/")));
}

void WindowTest::germanTexts()
{
    installTranslators("de_DE");
    ProbeWindow window(optionsFor(12));
    QCOMPARE(child<QPushButton>(window, "startButton")->text(), QStringLiteral("Update starten"));
    QCOMPARE(QCoreApplication::translate("QObject", "Can't detect default parameters"),
             QStringLiteral("Konnte Standard Parameter nicht finden"));
    // The toolkit's own buttons.
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Abbrechen"));
}

QTEST_MAIN(WindowTest)
#include "tst_ui_window.moc"
