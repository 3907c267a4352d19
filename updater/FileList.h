#pragma once

#include <QString>
#include <QStringList>

// The server's list of files to fetch and the names in it.
namespace FileList {
// Splits at every "|", keeping empty names in their places; an empty reply has no names at all.
QStringList split(const QString& reply);

// Whether a listed name may be joined to the program folder: a single file name that stays inside the folder on
// any system. Empty names, "." and "..", names with a separator, a drive or stream colon, a control character, and
// the reserved device names of Windows are refused.
bool isPlainFileName(const QString& name);

// Whether a listed name may be put in the program folder by an update: a plain file name that is none of the files
// the programs keep there for themselves (the person's settings, the update's lock, hold, kept files and markers,
// and transfers), which a release must never overwrite.
bool mayReplace(const QString& name);
} // namespace FileList
