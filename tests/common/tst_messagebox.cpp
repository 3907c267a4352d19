#include "ChineseUi.h"
#include "MessageBox.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

// The one kind of message both programs show: modal, titled with the program's name, one OK button that reads
// in Chinese, and no picture.
class TestMessageBox : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QApplication::setApplicationName(QStringLiteral("update"));
        QVERIFY2(ChineseUi::installQtTranslations(), "Qt's zh_CN translations are missing (qt6-translations-l10n)");
    }

    void showsOneChineseOkButtonAndNoIcon()
    {
        QString title, text, buttonText;
        int buttons = -1;
        bool modal = false, buttonHasIcon = true;
        QMessageBox::Icon icon = QMessageBox::Warning;
        QTimer::singleShot(0, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            buttons = int(box->buttons().size());
            modal = box->isModal();
            buttonText = box->buttons().value(0)->text();
            buttonHasIcon = !box->buttons().value(0)->icon().isNull();
            QTest::keyClick(box, Qt::Key_Return);
        });
        MessageBox::show(nullptr, QStringLiteral("已是最新版本，暂时不用更新。"));
        QCOMPARE(title, QStringLiteral("update"));
        QCOMPARE(text, QStringLiteral("已是最新版本，暂时不用更新。"));
        QCOMPARE(icon, QMessageBox::NoIcon);
        QCOMPARE(buttons, 1);
        QVERIFY(modal);
        QCOMPARE(buttonText.remove(QLatin1Char('&')).remove(QStringLiteral("(O)")), QStringLiteral("确定"));
        QVERIFY(!buttonHasIcon);
    }
};

QTEST_MAIN(TestMessageBox)
#include "tst_messagebox.moc"
