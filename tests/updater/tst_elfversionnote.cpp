#include "platform/ElfVersionNote.h"
#include "platform/Platform.h"

#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {
// Builds small ELF files the way a linker lays them out: header, notes, program headers, section headers.
class ElfBuilder
{
public:
    bool is64 = true;
    bool bigEndian = false;
    bool withSections = true;
    bool withSegments = true;
    quint32 noteType = ElfVersionNote::NoteType;
    QByteArray owner = "Pagewell";
    QByteArray version = "1.6.0.0";
    // Another vendor's note first, so the reader has to walk past it.
    bool foreignNoteFirst = true;

    QByteArray build() const
    {
        const int headerSize = is64 ? 64 : 52;
        QByteArray notes;
        if (foreignNoteFirst)
            notes += note("GNU", 3, QByteArray(16, '\x42'));
        notes += note(owner, noteType, version + QByteArray(1, '\0'));

        QByteArray file(headerSize, '\0');
        const quint64 notesOffset = quint64(file.size());
        file += notes;
        quint64 segmentTable = 0;
        if (withSegments) {
            segmentTable = quint64(file.size());
            file += QByteArray(is64 ? 56 : 32, '\0');
            const quint64 e = segmentTable;
            put(file, e, 4, 4); // PT_NOTE
            put(file, e + (is64 ? 8 : 4), word(), notesOffset);
            put(file, e + (is64 ? 32 : 16), word(), quint64(notes.size()));
            put(file, e + (is64 ? 48 : 28), word(), 4);
        }
        quint64 sectionTable = 0;
        if (withSections) {
            sectionTable = quint64(file.size());
            const int entry = is64 ? 64 : 40;
            file += QByteArray(2 * entry, '\0');
            const quint64 e = sectionTable + quint64(entry);
            put(file, e + 4, 4, 7); // SHT_NOTE
            put(file, e + (is64 ? 24 : 16), word(), notesOffset);
            put(file, e + (is64 ? 32 : 20), word(), quint64(notes.size()));
            put(file, e + (is64 ? 48 : 32), word(), 4);
        }

        file.replace(0, 4, "\x7f" "ELF");
        file[4] = is64 ? 2 : 1;
        file[5] = bigEndian ? 2 : 1;
        file[6] = 1;
        put(file, is64 ? 0x20 : 0x1C, word(), segmentTable);
        put(file, is64 ? 0x28 : 0x20, word(), sectionTable);
        put(file, is64 ? 0x36 : 0x2A, 2, is64 ? 56 : 32);
        put(file, is64 ? 0x38 : 0x2C, 2, withSegments ? 1 : 0);
        put(file, is64 ? 0x3A : 0x2E, 2, is64 ? 64 : 40);
        put(file, is64 ? 0x3C : 0x30, 2, withSections ? 2 : 0);
        return file;
    }

private:
    int word() const { return is64 ? 8 : 4; }

    void put(QByteArray& bytes, quint64 offset, int width, quint64 value) const
    {
        for (int i = 0; i < width; ++i) {
            const int shift = 8 * (bigEndian ? width - 1 - i : i);
            bytes[qsizetype(offset) + i] = char((value >> shift) & 0xFF);
        }
    }

    QByteArray note(const QByteArray& name, quint32 type, const QByteArray& desc) const
    {
        QByteArray bytes(12, '\0');
        put(bytes, 0, 4, quint64(name.size() + 1));
        put(bytes, 4, 4, quint64(desc.size()));
        put(bytes, 8, 4, type);
        bytes += name + QByteArray(1, '\0');
        bytes += QByteArray((4 - bytes.size() % 4) % 4, '\0');
        bytes += desc;
        bytes += QByteArray((4 - bytes.size() % 4) % 4, '\0');
        return bytes;
    }
};
} // namespace

class TestElfVersionNote : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void versions_data();
    void versions();
    void everyTruncationIsSafe();
    void corruptedBytesAreSafe();
    void fileVersion_data();
    void fileVersion();

private:
    QTemporaryDir m_dir;
};

void TestElfVersionNote::versions_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");

    for (const bool is64 : {true, false}) {
        for (const bool big : {false, true}) {
            const QByteArray prefix = QByteArray(is64 ? "64-bit " : "32-bit ") + (big ? "big " : "little ");
            ElfBuilder builder;
            builder.is64 = is64;
            builder.bigEndian = big;
            QTest::newRow(prefix + "sections and segments") << builder.build() << QStringLiteral("1.6.0.0");
            builder.withSegments = false;
            QTest::newRow(prefix + "sections only") << builder.build() << QStringLiteral("1.6.0.0");
            builder.withSegments = true;
            builder.withSections = false;
            QTest::newRow(prefix + "segments only (stripped)") << builder.build() << QStringLiteral("1.6.0.0");
        }
    }

    const auto note = [](const QByteArray& owner, quint32 type, const QByteArray& version) {
        ElfBuilder builder;
        builder.owner = owner;
        builder.noteType = type;
        builder.version = version;
        return builder.build();
    };
    const quint32 ours = ElfVersionNote::NoteType;
    QTest::newRow("our note") << note("Pagewell", ours, "1.5.0.0") << QStringLiteral("1.5.0.0");
    QTest::newRow("other owner") << note("Pagewel", ours, "1.5.0.0") << QString();
    QTest::newRow("other type") << note("Pagewell", 1, "1.5.0.0") << QString();
    QTest::newRow("not a version") << note("Pagewell", ours, "1.5\n0") << QString();
    QTest::newRow("empty version") << note("Pagewell", ours, {}) << QString();
    QTest::newRow("too long") << note("Pagewell", ours, QByteArray(200, '1')) << QString();

    // Section table offset near the top of the 64-bit range: the entry offsets must not wrap around into the file.
    ElfBuilder builder;
    QByteArray wrapped = builder.build();
    wrapped.replace(0x28, 8, QByteArray(8, '\xff')).replace(0x3C, 2, "\xff\xff");
    QTest::newRow("section offset wraps, segments lead on") << wrapped << QStringLiteral("1.6.0.0");
    builder.withSegments = false;
    QTest::newRow("section offset wraps") << builder.build().replace(0x28, 8, QByteArray(8, '\xff')) << QString();

    const QByteArray magic("\x7f" "ELF");
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("magic only") << magic << QString();
    QTest::newRow("text") << QByteArray("#!/bin/sh\necho Pagewell 1.6.0.0\n") << QString();
    QTest::newRow("bad class") << magic + "\x03\x01" + QByteArray(64, '\0') << QString();
    QTest::newRow("bad byte order") << magic + "\x02\x03" + QByteArray(64, '\0') << QString();
    QTest::newRow("zeros after magic") << magic + "\x02\x01" + QByteArray(4096, '\0') << QString();
    QTest::newRow("ones after magic") << magic + "\x02\x01" + QByteArray(4096, '\xff') << QString();
    QTest::newRow("pe file") << QByteArray("MZ") + QByteArray(1024, '\x01') << QString();
}

void TestElfVersionNote::versions()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    QCOMPARE(ElfVersionNote::readElfFileVersion(bytes), expected);
}

void TestElfVersionNote::everyTruncationIsSafe()
{
    for (const bool is64 : {true, false}) {
        ElfBuilder builder;
        builder.is64 = is64;
        builder.withSegments = false;
        const QByteArray full = builder.build();
        // The section table comes last: every shorter file has lost part of it and has no version to offer.
        for (qsizetype size = 0; size < full.size(); ++size) {
            const QByteArray truncated = full.first(size);
            QCOMPARE(ElfVersionNote::readElfFileVersion(truncated), QString());
        }
    }
}

void TestElfVersionNote::corruptedBytesAreSafe()
{
    // Single corrupted bytes anywhere must never make the reader go out of bounds; the answer is either the
    // version or nothing.
    QRandomGenerator random(12345);
    for (const bool is64 : {true, false}) {
        for (const bool big : {false, true}) {
            ElfBuilder builder;
            builder.is64 = is64;
            builder.bigEndian = big;
            const QByteArray original = builder.build();
            for (qsizetype at = 0; at < original.size(); ++at) {
                for (const char value : {'\x00', '\x7f', '\xff', char(random.bounded(256))}) {
                    QByteArray bytes = original;
                    bytes[at] = value;
                    const QString version = ElfVersionNote::readElfFileVersion(bytes);
                    QVERIFY(version.isEmpty() || version == QLatin1String("1.6.0.0") ||
                            version.contains(QRegularExpression(QStringLiteral("^[0-9.]+$"))));
                }
            }
        }
    }
}

void TestElfVersionNote::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QFile program(QStringLiteral(PAGEWELL_PROGRAM_FILE));
    QVERIFY(program.open(QIODevice::ReadOnly));
    for (const auto& [name, bytes] : {std::pair{"empty", QByteArray()}, std::pair{"half", program.read(40)}}) {
        QFile file(m_dir.filePath(QLatin1String(name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(bytes), bytes.size());
    }
}

void TestElfVersionNote::fileVersion_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("version");
    QTest::newRow("Pagewell") << QStringLiteral(PAGEWELL_PROGRAM_FILE) << QStringLiteral("1.6.0.0");
    QTest::newRow("update") << QStringLiteral(UPDATE_PROGRAM_FILE) << QStringLiteral("1.5.0.0");
    QTest::newRow("missing") << m_dir.filePath(QStringLiteral("missing")) << QString();
    QTest::newRow("folder") << m_dir.path() << QString();
    QTest::newRow("empty") << m_dir.filePath(QStringLiteral("empty")) << QString();
    QTest::newRow("first 40 bytes of a program") << m_dir.filePath(QStringLiteral("half")) << QString();
}

void TestElfVersionNote::fileVersion()
{
    QFETCH(QString, path);
    QFETCH(QString, version);
    QCOMPARE(Platform::fileVersion(path), version);
}

QTEST_GUILESS_MAIN(TestElfVersionNote)
#include "tst_elfversionnote.moc"
