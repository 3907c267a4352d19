#pragma once

#include <QString>

class QWidget;

// The programs' one kind of message: modal, one OK button, no icon, titled with the program's name
// (QCoreApplication::applicationName(), "Pagewell" or "update").
namespace MessageBox {
// With autoCloseMs, the box closes by itself after that long, as if OK was clicked: nobody may be there to click.
void show(QWidget* parent, const QString& text, int autoCloseMs = 0);

// Tests replace the modal box with a recorder so that no dialog blocks an offscreen run.
using Handler = void (*)(QWidget* parent, const QString& text);
void setHandlerForTesting(Handler handler);
} // namespace MessageBox
