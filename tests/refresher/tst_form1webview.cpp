#include "FakeHttpServer.h"
#include "Form1.h"

#include <QLineEdit>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

// The real browser view, sent to a loopback server: the refresh reaches the server with its token.
class TestForm1WebView : public QObject
{
    Q_OBJECT
private slots:
    void refreshReachesServer();
};

void TestForm1WebView::refreshReachesServer()
{
    FakeHttpServer server;
    QVERIFY(server.isListening());
    server.setDefaultReply(FakeHttpServer::Reply::text("<html><body>fresh</body></html>"));
    QSignalSpy received(&server, &FakeHttpServer::requestReceived);

    Form1 form;
    QSignalSpy navigated(&form, &Form1::navigated);
    form.show();
    // Without a scheme: the refresh adds "http://" to the field.
    form.Text2->setText(server.host() + QStringLiteral("/path"));
    form.deng();
    QCOMPARE(form.Text2->text(), server.baseUrl() + QStringLiteral("/path"));
    QCOMPARE(navigated.size(), 1);

    const QRegularExpression target(QStringLiteral("^/path\\?rn=(0\\.\\d{1,7})$"));
    QTRY_VERIFY_WITH_TIMEOUT(server.requests().contains(target), 30000);
    const QString first = server.requests().at(server.requests().indexOf(target));
    const QString token = target.match(first).captured(1);
    QVERIFY(navigated.first().first().toString().endsWith(QStringLiteral("?rn=") + token));
}

QTEST_MAIN(TestForm1WebView)
#include "tst_form1webview.moc"
