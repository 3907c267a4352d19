#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>

// What an update left in the program folder, settled by the refresher that runs from it. An updater killed or a
// power cut in the middle of a hand-over leaves the replaced files kept beside the new ones, the marker of a watch,
// or temporary files of its transfers; nothing else would ever remove them if no update comes.
//
// A new release judges itself, whoever started it: each start of it is counted in the marker, and it confirms
// itself (the kept files go) only once its window has shown, its first page load has ended and the watch's time has
// passed. A start that finds an earlier start of the release ended abnormally (no orderly end, nothing of it running,
// no updater deciding) puts the kept files back, holds the release and starts the old program in its place.
class UpdateLeftovers : public QObject
{
    Q_OBJECT

public:
    static constexpr int PollMs = 1000;

    explicit UpdateLeftovers(QObject* parent = nullptr);

    // First thing at start: false when this start rolled the release back and started the old program, in which case
    // this one must end at once, touching nothing. arguments are the ones the old program is given.
    bool judgeStart(const QStringList& arguments);
    // Once the window has shown: whatever an update cut short is settled.
    void settle();
    // The first page load has ended, well or not: the release runs as a refresher must.
    void pageLoadEnded();

    // This refresher ends in good order (its window closed, or the session ended): an updater watching it must not
    // take that for a release that cannot run.
    static void noteOrderlyEnd();

private:
    void confirmIfProven();

    QTimer m_poll;
    QTimer m_proven;
    QElapsedTimer m_sinceStart;
    int m_watchMs = 0;
    bool m_watched = false;
    bool m_shown = false;
    bool m_loadEnded = false;
    bool m_awaitUpdater = false;
};
