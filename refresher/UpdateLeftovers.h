#pragma once

#include <QObject>
#include <QTimer>

// What an update cut short left in the program folder, settled by the refresher that runs from it. An updater killed
// or a power cut in the middle of a hand-over leaves the replaced program kept beside this one, the marker of its
// watch, or a temporary file of its transfer; nothing else would ever remove them if no update comes. When no updater
// holds the folder, this refresher runs from the program file, so the program in place is the one to keep. While an
// updater watches this refresher, that updater decides; should it go away without deciding, this settles once it has.
class UpdateLeftovers : public QObject
{
    Q_OBJECT

public:
    static constexpr int PollMs = 1000;

    explicit UpdateLeftovers(QObject* parent = nullptr);
    void settle();

    // This refresher ends in good order (its window closed, or the session ended): an updater watching it must not
    // take that for a release that cannot run.
    static void noteOrderlyEnd();

private:
    QTimer m_poll;
};
