#include "WatchedPage.h"

#include "BuildConfig.h"
#include "IniFile.h"
#include "ProgramFolder.h"
#include "RefreshUrl.h"
#include "WatchAlert.h"

#include <QFile>
#include <QInputDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMenu>
#include <QWebEngineContextMenuRequest>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineView>

namespace {
constexpr int PollMs = 250;

// The resource, then a call of one of its functions with these arguments.
QString script(const QString& call, const QJsonArray& arguments)
{
    static const QString source = [] {
        QFile file(QStringLiteral(":/pagewell/watch/watch.js"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }();
    return source + QStringLiteral("\npagewellWatch.%1(...%2);")
                        .arg(call, QString::fromUtf8(QJsonDocument(arguments).toJson(QJsonDocument::Compact)));
}
} // namespace

WatchedPage::WatchedPage(QWebEngineView* view, QString settingsFile, QString section)
    : QObject(view), m_view(view), m_settingsFile(std::move(settingsFile)), m_section(std::move(section)),
      m_ownAlerter(std::make_unique<WatchAlert>(view->window())), m_alerter(m_ownAlerter.get())
{
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view, &QWidget::customContextMenuRequested, this, &WatchedPage::showMenu);
    m_poll.setInterval(PollMs);
    connect(&m_poll, &QTimer::timeout, this, &WatchedPage::poll);
    // The next document is on its way: what is still read of this one is of no use.
    connect(view->page(), &QWebEnginePage::loadStarted, this, [this] {
        m_poll.stop();
        ++m_load;
    });
}

WatchedPage::~WatchedPage() = default;

void WatchedPage::setAlerterForTesting(Alerter* alerter)
{
    m_alerter = alerter;
}

void WatchedPage::restore(const std::optional<QString>& part, const std::optional<QString>& text)
{
    m_watch.restore(IniFile(m_settingsFile), m_section);
    if (part)
        m_watch.setPart(*part);
    if (text)
        m_watch.setText(*text);
    part || text ? storeAndTell() : emit changed();
}

void WatchedPage::showMenu(const QPoint& at)
{
    // The engine's own entries need the request it made; a menu asked for otherwise has only the watches.
    QMenu* menu = m_view->lastContextMenuRequest() ? m_view->createStandardContextMenu() : new QMenu(m_view);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addSeparator();
    const QPoint point = (QPointF(at) / m_view->zoomFactor()).toPoint();
    connect(menu->addAction(QStringLiteral("监视这里的变化")), &QAction::triggered, this, [this, point] {
        m_view->page()->runJavaScript(script(QStringLiteral("selectorAt"), {point.x(), point.y()}),
                                      QWebEngineScript::ApplicationWorld,
                                      [this](const QVariant& selector) { setPart(selector.toString()); });
    });
    connect(menu->addAction(QStringLiteral("出现文字时提醒…")), &QAction::triggered, this, [this] {
        bool ok = false;
        const QString text =
            QInputDialog::getText(m_view->window(), QStringLiteral(" "), QStringLiteral("页面上出现这段文字时提醒："),
                                  QLineEdit::Normal, m_watch.text(), &ok);
        if (ok && !text.trimmed().isEmpty())
            setText(text);
    });
    QAction* stop = menu->addAction(QStringLiteral("停止监视"));
    stop->setEnabled(m_watch.isOn());
    connect(stop, &QAction::triggered, this, &WatchedPage::stop);
    menu->popup(m_view->mapToGlobal(at));
}

void WatchedPage::setPart(const QString& selector)
{
    m_watch.setPart(selector);
    storeAndTell();
}

void WatchedPage::setText(const QString& text)
{
    m_watch.setText(text);
    storeAndTell();
}

void WatchedPage::stop()
{
    m_watch.stop();
    storeAndTell();
}

void WatchedPage::storeAndTell()
{
    m_watch.store(IniFile(m_settingsFile), m_section);
    emit changed();
}

void WatchedPage::loadEnded(bool succeeded, const QUrl& url)
{
    m_poll.stop();
    ++m_load;
    // A failed refresh (the kept page under its strip, or the engine's error page) is no reading at all.
    // Nor is the vendor's start page, shown before the person's own: nobody watches it.
    if (!succeeded || !m_watch.isOn() || RefreshUrl::pageKey(url) == RefreshUrl::pageKey(QUrl(RefreshUrl::startPage())))
        return;
    m_address = url;
    m_polls = 0;
    poll();
    m_poll.start();
}

void WatchedPage::poll()
{
    // A renderer that went away answers nothing: the reading is given up a while after its bound.
    if (++m_polls > (SettleBoundMs + 2000) / PollMs)
        return m_poll.stop();
    const QJsonArray arguments{m_watch.part(), !m_watch.text().isEmpty(), QuietMs, SettleBoundMs};
    m_view->page()->runJavaScript(script(QStringLiteral("read"), arguments), QWebEngineScript::ApplicationWorld,
                                  [this, load = m_load](const QVariant& result) {
                                      if (load == m_load && m_poll.isActive())
                                          readingArrived(result);
                                  });
}

void WatchedPage::readingArrived(const QVariant& result)
{
    if (result.typeId() != QMetaType::QVariantMap)
        return;
    m_poll.stop();
    const QVariantMap map = result.toMap();
    const QVariant part = map.value(QStringLiteral("part"));
    const PageWatch::Outcome outcome = m_watch.read(
        m_address.toString(), {part.typeId() == QMetaType::QString ? std::optional(part.toString()) : std::nullopt,
                               map.value(QStringLiteral("text")).toString()});
    const QString line = PageWatch::logLine(QDateTime::currentDateTime(), m_address.toString(), outcome);
    if (!line.isEmpty())
        PageWatch::appendToLog(ProgramFolder::filePath(QStringLiteral("watch.log")), line);
    if (outcome.alert)
        m_alerter->alert(
            QString::fromUtf8(BuildConfig::ProductName) + QStringLiteral("：页面有变化"),
            QStringLiteral("%1：%2 → %3").arg(outcome.alert->what, outcome.alert->before, outcome.alert->after));
    if (outcome.missing != PageWatch::Missing::No)
        emit changed();
    emit settled();
}
