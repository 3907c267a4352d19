#pragma once

class QTranslator;

namespace ChineseUi {
// Both programs speak Chinese, so Qt's own texts (the message box's OK button, the input dialog's buttons) must
// too, whatever the machine's locale. Returns the installed translator, owned by the application, or nullptr when
// Qt's translations are not installed.
QTranslator* installQtTranslations();
} // namespace ChineseUi
