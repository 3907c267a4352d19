#pragma once

#include <QByteArrayView>
#include <QString>

// The build embeds each program's file version in an ELF note: owner "Pagewell", type NoteType, and as its
// description the dotted version text ending in a NUL. The reader is a pure function over the file's bytes so
// that it can be exercised with any input, however malformed; it only looks at the bytes the headers point to.
namespace ElfVersionNote {
inline constexpr const char* OwnerName = "Pagewell";
inline constexpr quint32 NoteType = 0x5057'0001;

// The version text ("1.6.0.0"), or empty when the bytes are no ELF file or carry no well-formed version note.
QString readElfFileVersion(QByteArrayView file);
} // namespace ElfVersionNote
