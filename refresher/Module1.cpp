#include "Module1.h"

#include "IniFile.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMetaProperty>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <QWidget>

#include <optional>

namespace {

const QString ValueRole = QStringLiteral("Value");
const QString TextRole = QStringLiteral("Text");
const QString CaptionRole = QStringLiteral("Caption");

// The window designs these settings come from know three value roles, which Qt names differently:
// - "Value" is a control's numeric or on/off state: the value of sliders, spin boxes and progress bars, and whether a
//   check box or radio button is checked (the original toolkit called that state Value too).
// - "Text" is the text the user edits: a line edit's text, a text edit's plain text, an editable combo's text.
// - "Caption" is the fixed text a control shows: a group box's title, a label's or button's text, a window's title.
// Labels and buttons carry a Qt property named "text", but it plays the caption's role, so "Text" leaves them to
// "Caption"; that way a label never claims to hold user input.
QByteArray qtPropertyFor(QObject* control, const QString& role)
{
    const auto has = [control](const char* name) { return control->metaObject()->indexOfProperty(name) >= 0; };
    const bool showsCaption =
        qobject_cast<QLabel*>(control) || qobject_cast<QAbstractButton*>(control) || qobject_cast<QGroupBox*>(control);
    if (role == ValueRole) {
        if (auto* button = qobject_cast<QAbstractButton*>(control); button && button->isCheckable())
            return "checked";
        return has("value") ? "value" : "";
    }
    if (role == TextRole) {
        if (qobject_cast<QTextEdit*>(control) || qobject_cast<QPlainTextEdit*>(control))
            return "plainText";
        if (qobject_cast<QComboBox*>(control))
            return "currentText";
        return !showsCaption && has("text") ? "text" : "";
    }
    if (qobject_cast<QGroupBox*>(control))
        return "title";
    if (showsCaption)
        return "text";
    if (auto* widget = qobject_cast<QWidget*>(control); widget && widget->isWindow())
        return "windowTitle";
    return "";
}

QMetaProperty metaProperty(QObject* control, const QByteArray& name)
{
    if (name.isEmpty())
        return {};
    return control->metaObject()->property(control->metaObject()->indexOfProperty(name.constData()));
}

// Fails when the control has no such role or its value cannot be turned into text.
std::optional<QString> readRole(QObject* control, const QString& role)
{
    const QMetaProperty property = metaProperty(control, qtPropertyFor(control, role));
    if (!property.isValid() || !property.isReadable())
        return std::nullopt;
    const QVariant value = property.read(control);
    if (!value.isValid() || !value.canConvert<QString>())
        return std::nullopt;
    return value.toString();
}

bool writeRole(QObject* control, const QString& role, const QString& text)
{
    const QMetaProperty property = metaProperty(control, qtPropertyFor(control, role));
    return property.isValid() && property.isWritable() && property.write(control, text);
}

// The key a control is kept under, or "" when it is not kept.
QString persistedKey(const QObject* control)
{
    const QString name = control->objectName().toUpper();
    if (name.size() <= 4)
        return {};
    const QStringView marker = QStringView(name).sliced(3, 2);
    return marker == u"T1" || marker == u"T2" ? name : QString();
}

// Depth-first in creation order, which is the window's control order. Unnamed objects (a browser view's internal
// widgets, layouts) are never kept but are still searched, since a named control may sit inside one.
template <typename Visit> void forEachControl(QObject* parent, const Visit& visit)
{
    const QObjectList children = parent->children();
    for (QObject* child : children) {
        visit(child);
        forEachControl(child, visit);
    }
}

} // namespace

namespace Module1 {

void LoadFormControls(QWidget* form, const QString& fileName, const QString& section)
{
    if (!form)
        return;
    forEachControl(form, [&](QObject* control) {
        const QString key = persistedKey(control);
        if (key.isEmpty())
            return;
        // Always set, even to "": a missing key must not leave what the control held before. A control whose value
        // cannot take the text (a number field given "") keeps its value; the walk goes on to the next control.
        writeRole(control, DefaultPropertyName(control), ReadIniValue(section, key, fileName));
    });
}

void SaveFormControls(QWidget* form, const QString& fileName, const QString& section)
{
    if (!form)
        return;
    QList<std::pair<QString, QString>> values;
    forEachControl(form, [&](QObject* control) {
        const QString key = persistedKey(control);
        if (key.isEmpty())
            return;
        // A control that cannot give its value as text is left out rather than stored as "", which would erase what
        // the file held for it.
        if (const std::optional<QString> text = readRole(control, DefaultPropertyName(control)))
            values.append({key, *text});
    });
    // Every field in one replacement of the file, by the same rules as WriteIniValue: a crash, a kill or a full disk
    // during the save leaves the file as the last save wrote it or with all fields new, never the URL of one save
    // beside the interval of another.
    if (values.isEmpty() || section.trimmed().isEmpty())
        return;
    IniFile(fileName).setValues(section, values);
}

QString DefaultPropertyName(QObject* control)
{
    if (!control)
        return CaptionRole;
    if (readRole(control, ValueRole))
        return ValueRole;
    if (readRole(control, TextRole))
        return TextRole;
    return CaptionRole;
}

QString ReadIniValue(const QString& section, const QString& key, const QString& fileName)
{
    if (key.trimmed().isEmpty())
        return {};
    QString value = IniFile(fileName).value(section, key).value_or(QString());
    // A zero byte in a hand-edited file would cut the text short wherever it is used later.
    value.remove(QChar(u'\0'));
    return value;
}

bool WriteIniValue(const QString& section, const QString& key, const QString& value, const QString& fileName)
{
    if (key.trimmed().isEmpty() || section.trimmed().isEmpty())
        return false;
    IniFile(fileName).setValue(section, key, value);
    return true;
}

} // namespace Module1
