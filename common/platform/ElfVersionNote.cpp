#include "platform/ElfVersionNote.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace {
constexpr quint32 SectionTypeNote = 7;
constexpr quint32 SegmentTypeNote = 4;
// Bounds the work on hostile headers that claim millions of entries.
constexpr quint64 MaxTableEntries = 65'536;
constexpr qsizetype MaxVersionLength = 64;

// Reads integers of either byte order at file offsets, refusing anything outside the bytes.
class Reader
{
public:
    Reader(QByteArrayView bytes, bool bigEndian) : m_bytes(bytes), m_bigEndian(bigEndian) {}

    bool contains(quint64 offset, quint64 length) const
    {
        const auto size = static_cast<quint64>(m_bytes.size());
        return offset <= size && length <= size - offset;
    }

    std::optional<quint64> read(quint64 offset, int width) const
    {
        if (!contains(offset, static_cast<quint64>(width)))
            return std::nullopt;
        quint64 value = 0;
        for (int i = 0; i < width; ++i) {
            const int index = m_bigEndian ? i : width - 1 - i;
            value = (value << 8) | static_cast<quint8>(m_bytes[static_cast<qsizetype>(offset) + index]);
        }
        return value;
    }

    QByteArrayView slice(quint64 offset, quint64 length) const
    {
        return m_bytes.sliced(static_cast<qsizetype>(offset), static_cast<qsizetype>(length));
    }

private:
    QByteArrayView m_bytes;
    bool m_bigEndian;
};

quint64 alignUp(quint64 value, quint64 alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

bool isVersionText(QByteArrayView text)
{
    if (text.isEmpty() || text.size() > MaxVersionLength)
        return false;
    for (const char c : text) {
        if (!(c == '.' || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

// Walks the notes of one note section or segment and returns the first version note's text.
QString versionFromNotes(const Reader& reader, quint64 offset, quint64 size, quint64 alignment)
{
    if (!reader.contains(offset, size))
        return {};
    // Notes are padded to 4 bytes, or to 8 in segments that say so; anything else is read as 4.
    const quint64 padding = alignment == 8 ? 8 : 4;
    const QByteArrayView owner(ElfVersionNote::OwnerName, qsizetype(std::strlen(ElfVersionNote::OwnerName)) + 1);
    quint64 position = 0;
    while (size - position >= 12) {
        const quint64 nameSize = *reader.read(offset + position, 4);
        const quint64 descSize = *reader.read(offset + position + 4, 4);
        const quint64 type = *reader.read(offset + position + 8, 4);
        const quint64 nameStart = position + 12;
        const quint64 descStart = alignUp(nameStart + nameSize, padding);
        const quint64 end = alignUp(descStart + descSize, padding);
        // Sizes come from the file: the sums above cannot overflow 64 bits, but they can run past the note area.
        if (descStart > size || descSize > size - descStart)
            return {};
        if (type == ElfVersionNote::NoteType && reader.slice(offset + nameStart, nameSize) == owner) {
            const QByteArrayView desc = reader.slice(offset + descStart, descSize);
            const qsizetype terminator = desc.indexOf('\0');
            if (terminator >= 0 && isVersionText(desc.first(terminator)))
                return QString::fromLatin1(desc.first(terminator));
        }
        if (end <= position || end > size)
            return {};
        position = end;
    }
    return {};
}

struct Layout
{
    bool is64;
    quint64 tableOffset;
    quint64 entrySize;
    quint64 entryCount;
};

QString versionFromSections(const Reader& reader, const Layout& sections)
{
    // A table past the end is rejected first, so the entry offsets below cannot wrap around.
    if (!reader.contains(sections.tableOffset, 0))
        return {};
    const quint64 count = std::min(sections.entryCount, MaxTableEntries);
    for (quint64 i = 0; i < count; ++i) {
        const quint64 entry = sections.tableOffset + i * sections.entrySize;
        if (!reader.contains(entry, sections.entrySize))
            return {};
        if (*reader.read(entry + 4, 4) != SectionTypeNote)
            continue;
        const int word = sections.is64 ? 8 : 4;
        const quint64 offset = *reader.read(entry + (sections.is64 ? 24 : 16), word);
        const quint64 size = *reader.read(entry + (sections.is64 ? 32 : 20), word);
        const quint64 alignment = *reader.read(entry + (sections.is64 ? 48 : 32), word);
        const QString version = versionFromNotes(reader, offset, size, alignment);
        if (!version.isEmpty())
            return version;
    }
    return {};
}

QString versionFromSegments(const Reader& reader, const Layout& segments)
{
    // A table past the end is rejected first, so the entry offsets below cannot wrap around.
    if (!reader.contains(segments.tableOffset, 0))
        return {};
    const quint64 count = std::min(segments.entryCount, MaxTableEntries);
    for (quint64 i = 0; i < count; ++i) {
        const quint64 entry = segments.tableOffset + i * segments.entrySize;
        if (!reader.contains(entry, segments.entrySize))
            return {};
        if (*reader.read(entry, 4) != SegmentTypeNote)
            continue;
        const int word = segments.is64 ? 8 : 4;
        const quint64 offset = *reader.read(entry + (segments.is64 ? 8 : 4), word);
        const quint64 size = *reader.read(entry + (segments.is64 ? 32 : 16), word);
        const quint64 alignment = *reader.read(entry + (segments.is64 ? 48 : 28), word);
        const QString version = versionFromNotes(reader, offset, size, alignment);
        if (!version.isEmpty())
            return version;
    }
    return {};
}
} // namespace

QString ElfVersionNote::readElfFileVersion(QByteArrayView file)
{
    if (file.size() < 16 || !file.startsWith(QByteArrayView("\x7f"
                                                            "ELF",
                                                            4)))
        return {};
    const char elfClass = file[4];
    const char byteOrder = file[5];
    if ((elfClass != 1 && elfClass != 2) || (byteOrder != 1 && byteOrder != 2))
        return {};
    const bool is64 = elfClass == 2;
    const Reader reader(file, byteOrder == 2);
    const quint64 headerSize = is64 ? 64 : 52;
    if (!reader.contains(0, headerSize))
        return {};

    const int word = is64 ? 8 : 4;
    const quint64 segmentTable = *reader.read(is64 ? 0x20 : 0x1C, word);
    const quint64 sectionTable = *reader.read(is64 ? 0x28 : 0x20, word);
    const quint64 segmentEntrySize = *reader.read(is64 ? 0x36 : 0x2A, 2);
    quint64 segmentCount = *reader.read(is64 ? 0x38 : 0x2C, 2);
    const quint64 sectionEntrySize = *reader.read(is64 ? 0x3A : 0x2E, 2);
    quint64 sectionCount = *reader.read(is64 ? 0x3C : 0x30, 2);

    const quint64 minSectionEntry = is64 ? 64 : 40;
    const quint64 minSegmentEntry = is64 ? 56 : 32;
    const bool sectionsUsable = sectionTable != 0 && sectionEntrySize >= minSectionEntry;
    // Files with very many sections or segments keep the real counts in the first section header.
    if (sectionsUsable && reader.contains(sectionTable, sectionEntrySize)) {
        if (sectionCount == 0)
            sectionCount = *reader.read(sectionTable + (is64 ? 32 : 20), word);
        if (segmentCount == 0xFFFF)
            segmentCount = *reader.read(sectionTable + (is64 ? 44 : 28), 4);
    }

    if (sectionsUsable) {
        const QString version = versionFromSections(reader, {is64, sectionTable, sectionEntrySize, sectionCount});
        if (!version.isEmpty())
            return version;
    }
    // Stripped files may have lost their section headers; the note segments stay for the loader.
    if (segmentTable != 0 && segmentEntrySize >= minSegmentEntry)
        return versionFromSegments(reader, {is64, segmentTable, segmentEntrySize, segmentCount});
    return {};
}
