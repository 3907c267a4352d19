#include "Form1.h"
#include "frmAbout.h"
#include "ProgramFolder.h"

#include <QApplication>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {
QList<frmAbout*> aboutWindows()
{
    QList<frmAbout*> found;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* about = qobject_cast<frmAbout*>(widget))
            found << about;
    }
    return found;
}

// A main window that goes nowhere.
struct Harness
{
    Form1 form;
    Harness() { form.setNavigatorForTesting([](const QUrl&) {}); }
};
} // namespace

class TestFrmAbout : public QObject
{
    Q_OBJECT
private slots:
    // Closing the main window saves user.ini into the program folder: keep that out of the build's folder.
    void initTestCase() { ProgramFolder::overrideForTesting(m_programFolder.path()); }
    void cleanupTestCase() { ProgramFolder::overrideForTesting(QString()); }

    void cleanup();
    void window();
    void controls_data();
    void controls();
    void greyLine();
    void singleInstance();
    void doubleClickOnlyOnBackground();
    void keysClose_data();
    void keysClose();
    void reopeningLooksTheSame();
    void programEndsWithLastWindow();

private:
    QTemporaryDir m_programFolder;
};

void TestFrmAbout::cleanup()
{
    // A failed case must not leave a window behind that keeps the last-window case from ending.
    for (frmAbout* about : aboutWindows())
        about->close();
    QTRY_VERIFY(aboutWindows().isEmpty());
}

namespace {
bool isCentred(const QWidget* window)
{
    // One pixel of rounding either way in each direction.
    const QPoint offset = window->frameGeometry().center() - window->screen()->availableGeometry().center();
    return qAbs(offset.x()) <= 1 && qAbs(offset.y()) <= 1;
}
} // namespace

void TestFrmAbout::window()
{
    Harness h;
    h.form.Form_DblClick();
    frmAbout* about = h.form.aboutWindow();
    QVERIFY(about);
    QVERIFY(QTest::qWaitForWindowActive(about));
    QCOMPARE(about->objectName(), QStringLiteral("frmAbout"));
    QCOMPARE(about->windowTitle(), QStringLiteral("关于-岚舟网页自动刷新器"));
    QCOMPARE(about->size(), QSize(175, 135));
    QCOMPARE(about->minimumSize(), about->maximumSize());
    QVERIFY(!about->parentWidget());
    QVERIFY(!about->isModal());
    QCOMPARE(about->windowType(), Qt::Tool);
    QVERIFY(!about->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!about->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(about->testAttribute(Qt::WA_DeleteOnClose));
    QCOMPARE(QApplication::focusWidget(), about->cmdOK);
    QVERIFY(isCentred(about));
    QPointer<frmAbout> guard = about;
    about->close();
    QTRY_VERIFY(!guard);
}

void TestFrmAbout::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("container");
    QTest::addColumn<QRect>("geometry");
    QTest::newRow("cmdOK") << "cmdOK" << "frmAbout" << QRect(40, 104, 100, 23);
    QTest::newRow("picIcon") << "picIcon" << "frmAbout" << QRect(8, 32, 36, 36);
    QTest::newRow("Frame1") << "Frame1" << "frmAbout" << QRect(48, 16, 121, 65);
    QTest::newRow("Label1") << "Label1" << "Frame1" << QRect(8, 16, 105, 41);
    QTest::newRow("Line1") << "Line1" << "frmAbout" << QRect(0, 88, 175, 1);
}

void TestFrmAbout::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, container);
    QFETCH(QRect, geometry);
    frmAbout about;
    auto* control = about.findChild<QWidget*>(name);
    QVERIFY(control);
    QCOMPARE(control->parentWidget()->objectName(), container);
    QCOMPARE(control->geometry(), geometry);

    QCOMPARE(about.cmdOK->text(), QStringLiteral("确定"));
    QVERIFY(about.cmdOK->isDefault());
    QCOMPARE(about.Frame1->title(), QStringLiteral("作者"));
    QVERIFY(!about.Label1->text().isEmpty());
    QCOMPARE(about.picIcon->pixmap().size(), QSize(32, 32));
}

void TestFrmAbout::greyLine()
{
    frmAbout about;
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    const QImage image = about.grab().toImage();
    const qreal ratio = about.devicePixelRatioF();
    for (int x : {0, 20, 100, 174}) {
        QCOMPARE(QColor(image.pixel(int(x * ratio), int(88 * ratio))), QColor(128, 128, 128));
        QVERIFY(QColor(image.pixel(int(x * ratio), int(90 * ratio))) != QColor(128, 128, 128));
    }
}

void TestFrmAbout::singleInstance()
{
    Harness h;
    h.form.show();
    h.form.Form_DblClick();
    QPointer<frmAbout> first = h.form.aboutWindow();
    QVERIFY(first);
    h.form.Form_DblClick();
    h.form.Form_DblClick();
    QCOMPARE(h.form.aboutWindow(), first.data());
    QCOMPARE(aboutWindows().size(), 1);

    first->cmdOK->click();
    QTRY_VERIFY(!first);
    QVERIFY(!h.form.aboutWindow());
    QCOMPARE(aboutWindows().size(), 0);

    h.form.Form_DblClick();
    QVERIFY(h.form.aboutWindow());
    QCOMPARE(aboutWindows().size(), 1);
    h.form.aboutWindow()->close();
    QTRY_COMPARE(aboutWindows().size(), 0);
}

void TestFrmAbout::doubleClickOnlyOnBackground()
{
    Harness h;
    h.form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&h.form));
    // Inside the group box, on a label, and on the banner: controls, not background.
    QTest::mouseDClick(h.form.Label4, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseDClick(h.form.Frame1, Qt::LeftButton, {}, QPoint(400, 60));
    QVERIFY(!h.form.aboutWindow());
    // The margin between the banner and the browser view.
    QTest::mouseDClick(&h.form, Qt::LeftButton, {}, QPoint(8, 112));
    QVERIFY(h.form.aboutWindow());
    h.form.aboutWindow()->close();
    QTRY_VERIFY(!h.form.aboutWindow());
}

void TestFrmAbout::keysClose_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("target");
    QTest::newRow("Esc") << int(Qt::Key_Escape) << "cmdOK";
    QTest::newRow("Enter") << int(Qt::Key_Return) << "cmdOK";
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << "cmdOK";
    QTest::newRow("Enter on the window") << int(Qt::Key_Return) << "frmAbout";
    QTest::newRow("Esc on the window") << int(Qt::Key_Escape) << "frmAbout";
}

void TestFrmAbout::keysClose()
{
    QFETCH(int, key);
    QFETCH(QString, target);
    Harness h;
    h.form.Form_DblClick();
    QPointer<frmAbout> about = h.form.aboutWindow();
    QVERIFY(QTest::qWaitForWindowActive(about));
    QWidget* receiver = target == QLatin1String("cmdOK") ? static_cast<QWidget*>(about->cmdOK) : about.data();
    QTest::keyClick(receiver, Qt::Key(key));
    QTRY_VERIFY(!about);
}

void TestFrmAbout::reopeningLooksTheSame()
{
    Harness h;
    h.form.Form_DblClick();
    QPointer<frmAbout> about = h.form.aboutWindow();
    QVERIFY(QTest::qWaitForWindowActive(about));
    const QImage first = about->grab().toImage();
    const QRect firstGeometry = about->geometry();
    QTest::keyClick(about, Qt::Key_Escape);
    QTRY_VERIFY(!about);

    h.form.Form_DblClick();
    about = h.form.aboutWindow();
    QVERIFY(QTest::qWaitForWindowActive(about));
    QCOMPARE(about->geometry(), firstGeometry);
    QCOMPARE(about->grab().toImage(), first);
    QCOMPARE(QApplication::focusWidget(), about->cmdOK);
    about->close();
    QTRY_VERIFY(!about);
}

void TestFrmAbout::programEndsWithLastWindow()
{
    // Closing the main window while About is open leaves the program running until About closes too.
    Harness h;
    h.form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&h.form));
    h.form.Form_DblClick();
    QPointer<frmAbout> about = h.form.aboutWindow();
    QVERIFY(QTest::qWaitForWindowExposed(about));

    bool aboutOpenAfterMainClosed = false;
    bool closedAbout = false;
    bool timedOut = false;
    QTimer::singleShot(0, &h.form, [&] { h.form.close(); });
    QTimer::singleShot(300, about, [&] {
        aboutOpenAfterMainClosed = about && about->isVisible() && !h.form.isVisible();
        closedAbout = true;
        about->close();
    });
    QTimer guard;
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, qApp, [&] {
        timedOut = true;
        QCoreApplication::quit();
    });
    guard.start(10000);
    QCoreApplication::exec();
    QVERIFY(!timedOut);
    QVERIFY2(closedAbout, "the program ended when the main window closed");
    QVERIFY(aboutOpenAfterMainClosed);
}

QTEST_MAIN(TestFrmAbout)
#include "tst_frmabout.moc"
