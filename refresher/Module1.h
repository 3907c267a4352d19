#pragma once

#include <QString>

class QObject;
class QWidget;

// Keeps a window's settings controls in an INI file across restarts. Generic: it walks every control of the window
// it is given, in creation order (those inside group boxes included), and persists the ones whose upper-cased name is
// longer than four characters and has "T1" or "T2" as its 4th and 5th characters, under that upper-cased name as the
// key. It keeps no state and shows no messages; failures yield empty text or false.
namespace Module1 {

// Fills every persisted control from the section. A missing file, section or key empties the control.
void LoadFormControls(QWidget* form, const QString& fileName, const QString& section);
// Writes every persisted control to the section, one key at a time.
void SaveFormControls(QWidget* form, const QString& fileName, const QString& section);
// Which of the three value roles the control answers to first: "Value", "Text", otherwise "Caption".
QString DefaultPropertyName(QObject* control);
// The stored value, whole; "" when there is none or the key is blank.
QString ReadIniValue(const QString& section, const QString& key, const QString& fileName);
// True once the value has been handed to the INI writer (whatever the writer then manages); false for a blank key or
// section, which writes nothing.
bool WriteIniValue(const QString& section, const QString& key, const QString& value, const QString& fileName);

} // namespace Module1
