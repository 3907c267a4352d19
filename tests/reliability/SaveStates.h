#pragma once

#include <QByteArray>
#include <QString>

// The settings the save loop writes, one numbered state after another, and the check that a settings file holds
// one of them whole. Every state's URL is long and mostly Chinese, so a save takes long enough to be interrupted,
// and its length and content follow from its number, so any cut or mix shows.
namespace SaveStates {
inline const QString Section = QStringLiteral("岚舟网页自动刷新器");
// Lines a user added by hand, which every save must keep.
inline const QByteArray Preamble = "; kept by every save\r\n[other]\r\nKEY=value\r\n\r\n";

QString url(qint64 number);
struct Checked
{
    QString wrong; // empty when the file is whole
    qint64 number = -1;
    qint64 interval = -1; // TEXT1, -1 while the file has none
};
// The two keys are saved one after the other, so TEXT1 may still hold the previous state's number or, right after a
// restart, the number the last run left (previousInterval).
Checked check(const QByteArray& contents, qint64 previousInterval);
} // namespace SaveStates
