#include "WindowLook.h"

#include <QGroupBox>

void WindowLook::classicGroupBox(QGroupBox* box)
{
    // The line runs through the middle of the caption; the caption's background hides the line behind it.
    box->setStyleSheet(QStringLiteral("QGroupBox { border: 1px solid #a0a0a0; border-radius: 0px; margin-top: 6px; }"
                                      "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
                                      " left: 6px; top: 0px; padding: 0px 2px; }"));
}
