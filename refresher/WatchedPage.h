#pragma once

#include "PageWatch.h"

#include <QObject>
#include <QPoint>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <optional>

class Alerter;
class QWebEngineView;

// Carries out PageWatch over the browser view: the watches set from the page's context menu (or given on the command
// line) and kept in the settings file, each good load read once the page has settled, and what it tells said to the
// person (Alerter) and written to watch.log in the program folder.
class WatchedPage : public QObject
{
    Q_OBJECT
public:
    // How long the document must be quiet before it is read, and the longest a reading waits for that.
    static constexpr int QuietMs = 500;
    static constexpr int SettleBoundMs = 5000;

    WatchedPage(QWebEngineView* view, QString settingsFile, QString section);
    ~WatchedPage() override;

    const PageWatch& watch() const { return m_watch; }
    // The stored watches, then those the command line gives (an empty value ends that watch), stored in turn.
    void restore(const std::optional<QString>& part, const std::optional<QString>& text);
    // The load asked for last ended; only one that succeeded is read.
    void loadEnded(bool succeeded, const QUrl& url);
    void setAlerterForTesting(Alerter* alerter);

signals:
    // A watch was set or ended, or its part went missing or came back: the title's mark may differ.
    void changed();
    // A load was read (whether or not it told anything).
    void settled();

private:
    void showMenu(const QPoint& at);
    void setPart(const QString& selector);
    void setText(const QString& text);
    void stop();
    void storeAndTell();
    void poll();
    void readingArrived(const QVariant& result);

    QWebEngineView* m_view;
    QString m_settingsFile;
    QString m_section;
    PageWatch m_watch;
    std::unique_ptr<Alerter> m_ownAlerter;
    Alerter* m_alerter;
    QTimer m_poll;
    int m_polls = 0;
    // Each load has its own number: a reading of a document since replaced is thrown away.
    quint64 m_load = 0;
    QUrl m_address;
};
