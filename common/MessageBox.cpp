#include "MessageBox.h"

#include <QCoreApplication>
#include <QIcon>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace {
MessageBox::Handler g_handler = nullptr;
}

void MessageBox::show(QWidget* parent, const QString& text, int autoCloseMs)
{
    if (g_handler) {
        g_handler(parent, text);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), text, QMessageBox::Ok, parent);
    // Some messages carry a name the server sent; text that looks like HTML is shown as it is.
    box.setTextFormat(Qt::PlainText);
    // Some styles decorate dialog buttons with pictures; this message carries none at all.
    box.button(QMessageBox::Ok)->setIcon(QIcon());
    if (autoCloseMs > 0)
        QTimer::singleShot(autoCloseMs, &box, &QMessageBox::accept);
    box.exec();
}

void MessageBox::setHandlerForTesting(Handler handler)
{
    g_handler = handler;
}
