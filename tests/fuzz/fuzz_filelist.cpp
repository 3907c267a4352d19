#include "FileList.h"
#include "FuzzText.h"

#include <QDir>
#include <QFileInfo>

using FuzzText::require;

// The server's file list is the one input that decides where the updater writes. Whatever the list holds, the split
// must lose nothing, and every name it lets through must stay a single entry of the program folder, read as a POSIX
// path and as a Windows path alike.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString reply = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const QStringList names = FileList::split(reply);
    if (reply.isEmpty()) {
        require(names.isEmpty(), "an empty reply has no names");
        return 0;
    }
    require(names.size() == reply.count(u'|') + 1, "every | splits");
    require(names.join(u'|') == reply, "the split loses nothing");

    const QString folder = QStringLiteral("/srv/program");
    for (const QString& name : names) {
        if (!FileList::isPlainFileName(name))
            continue;
        require(name != QLatin1String(".") && name != QLatin1String(".."), "no dot names", name);
        require(!name.contains(u'/') && !name.contains(u'\\'), "no separators", name);
        require(!name.contains(u':'), "no drive or stream", name);
        require(!name.contains(u'\0'), "no NUL", name);
        const QString joined = QDir::cleanPath(folder + u'/' + name);
        require(QFileInfo(joined).path() == folder, "the name stays in the folder", name);
        require(QFileInfo(joined).fileName() == name, "the name is the file's name", name);
        // Windows takes either slash as a separator.
        const QString windows = QString(QStringLiteral("C:\\program\\") + name).replace(u'\\', u'/');
        require(QDir::cleanPath(windows).startsWith(QLatin1String("C:/program/")), "stays in the folder on Windows",
                name);
    }
    return 0;
}
