#include "MessageBox.h"

#include <QCoreApplication>
#include <QMessageBox>

namespace {
MessageBox::Handler g_handler = nullptr;
}

void MessageBox::show(QWidget* parent, const QString& text)
{
    if (g_handler) {
        g_handler(parent, text);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), text, QMessageBox::Ok, parent);
    box.exec();
}

void MessageBox::setHandlerForTesting(Handler handler)
{
    g_handler = handler;
}
