#include "BuildConfig.h"
#include "ClickableLabel.h"
#include "Form1.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWebEngineView>

class TestForm1Layout : public QObject
{
    Q_OBJECT
private slots:
    void window();
    void controls_data();
    void controls();
    void creationOrder();
    void banner();
    void focus();
};

void TestForm1Layout::window()
{
    Form1 form;
    QCOMPARE(form.windowTitle(), QString::fromUtf8(BuildConfig::ProductName));
    QCOMPARE(form.size(), QSize(984, 585));
    QCOMPARE(form.minimumSize(), QSize(984, 585));
    QCOMPARE(form.maximumSize(), QSize(984, 585));
    const Qt::WindowFlags flags = form.windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(form.windowIcon().availableSizes().contains(QSize(32, 32)));
    QVERIFY(form.Timer1->isActive());
    QCOMPARE(form.Timer1->interval(), 1000);

    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    // One pixel of rounding either way, along each axis the window fits on (the test screen may be small; a
    // window system may push a wider window back onto the screen).
    const QRect screen = form.screen()->availableGeometry();
    const QRect frame = form.frameGeometry();
    const QPoint offset = frame.center() - screen.center();
    QVERIFY(frame.width() > screen.width() || qAbs(offset.x()) <= 1);
    QVERIFY(frame.height() > screen.height() || qAbs(offset.y()) <= 1);
}

void TestForm1Layout::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("container");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("caption");

    QTest::newRow("Image1") << "Image1" << "Form1" << QRect(16, 16, 88, 87) << "";
    QTest::newRow("Frame1") << "Frame1" << "Form1" << QRect(112, 8, 857, 97) << "网址";
    QTest::newRow("Text2") << "Text2" << "Frame1" << QRect(8, 16, 697, 18) << "";
    QTest::newRow("Command1") << "Command1" << "Frame1" << QRect(720, 15, 57, 19) << "打开";
    QTest::newRow("Check1") << "Check1" << "Frame1" << QRect(8, 40, 49, 17) << "开启";
    QTest::newRow("Text1") << "Text1" << "Frame1" << QRect(56, 40, 33, 18) << "";
    QTest::newRow("Label4") << "Label4" << "Frame1" << QRect(96, 43, 121, 17) << "秒,每隔多久执行一次";
    QTest::newRow("Label3") << "Label3" << "Frame1" << QRect(224, 43, 161, 17) << "";
    QTest::newRow("Label5") << "Label5" << "Frame1" << QRect(8, 72, 209, 17) << "";
    QTest::newRow("Label6") << "Label6" << "Frame1" << QRect(224, 72, 249, 17) << "";
    QTest::newRow("WebBrowser1") << "WebBrowser1" << "Form1" << QRect(16, 120, 953, 449) << "";
}

void TestForm1Layout::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, container);
    QFETCH(QRect, geometry);
    QFETCH(QString, caption);

    Form1 form;
    auto* control = form.findChild<QWidget*>(name);
    QVERIFY(control);
    QCOMPARE(control->parentWidget()->objectName(), container);
    QCOMPARE(control->geometry(), geometry);
    QString text;
    if (auto* label = qobject_cast<QLabel*>(control))
        text = label->text();
    else if (auto* button = qobject_cast<QAbstractButton*>(control))
        text = button->text();
    else if (auto* edit = qobject_cast<QLineEdit*>(control))
        text = edit->text();
    else if (auto* box = qobject_cast<QGroupBox*>(control))
        text = box->title();
    QCOMPARE(text, caption);
    QVERIFY(!form.Check1->isChecked());
}

void TestForm1Layout::creationOrder()
{
    // The settings file walks the controls depth-first in creation order, so a new file lists TEXT2 before TEXT1.
    Form1 form;
    QStringList order;
    std::function<void(const QObject*)> walk = [&](const QObject* parent) {
        for (const QObject* child : parent->children()) {
            if (!child->objectName().isEmpty() && !child->objectName().startsWith(QStringLiteral("qt_")))
                order << child->objectName();
            if (child->isWidgetType() && child != form.WebBrowser1)
                walk(child);
        }
    };
    walk(&form);
    QCOMPARE(order, (QStringList{"WebBrowser1", "Frame1", "Command1", "Text2", "Check1", "Text1", "Label4", "Label3",
                                 "Label5", "Label6", "Timer1", "Image1"}));
    QCOMPARE(form.Timer1->parent(), &form);
}

void TestForm1Layout::banner()
{
    Form1 form;
    QCOMPARE(form.Image1->pixmap().size(), QSize(120, 100));
    QVERIFY(form.Image1->hasScaledContents());
}

void TestForm1Layout::focus()
{
    Form1 form;
    form.setNavigatorForTesting([](const QUrl&) {});
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QCOMPARE(QApplication::focusWidget(), form.Text1);

    // The tab chain as Qt walks it; the browser view's inner widgets count as the view.
    QList<QWidget*> chain;
    QWidget* widget = form.Text1;
    do {
        QWidget* owner = form.WebBrowser1->isAncestorOf(widget) ? form.WebBrowser1 : widget;
        const bool tabStop = (widget->focusPolicy() & Qt::TabFocus) && widget->isVisibleTo(&form) &&
                             widget->isEnabled() && !widget->focusProxy();
        if (tabStop && (chain.isEmpty() || chain.last() != owner))
            chain << owner;
        widget = widget->nextInFocusChain();
    } while (widget != form.Text1 && chain.size() < 20);
    const QList<QWidget*> expected{form.Text1, form.Check1, form.WebBrowser1, form.Text2, form.Command1};
    QCOMPARE(chain, expected);

    // And with the keyboard for the steps that do not enter the page.
    QTest::keyClick(form.Text1, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), form.Check1);
    form.Text2->setFocus();
    QTest::keyClick(form.Text2, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), form.Command1);
    QTest::keyClick(form.Command1, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), form.Text1);
}

QTEST_MAIN(TestForm1Layout)
#include "tst_form1layout.moc"
