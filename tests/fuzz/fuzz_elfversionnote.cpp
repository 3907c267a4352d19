#include "FuzzText.h"
#include "platform/ElfVersionNote.h"

#include <QByteArray>

using FuzzText::require;

// The updater reads the installed program's version from whatever file lies in the program folder: any bytes at
// all must give either nothing or a dotted version that the file really holds, NUL-terminated.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArrayView file(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString version = ElfVersionNote::readElfFileVersion(file);
    if (version.isEmpty())
        return 0;
    require(version.size() <= 64, "a version is short", version);
    for (const QChar c : version)
        require(c == u'.' || (c >= u'0' && c <= u'9'), "a version holds digits and dots", version);
    require(file.contains(QByteArray(version.toLatin1() + '\0')), "the version is in the file", version);
    return 0;
}
