// The version resource reader on images built in memory: a minimal PE32+ whose one section,
// .rsrc, holds the resource directories (RT_VERSION -> name 1 -> language 0x409) and a version
// block. The first row reads it; each of the others plants one fault in the headers, the
// directories or the block.

#include "verification/version_resource.h"

#include <QTest>
#include <QtEndian>

#include <algorithm>
#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace {

// File offsets in the built image. The resource section's raw data starts at kRsrc (RVA 0x1000):
// the root at +0x00 (RT_ICON straight to the data entry, then RT_VERSION), the name directory at
// +0x20, the language directory at +0x38, the data entry at +0x50, the version block at +0x60.
constexpr qint64 kResourceDirectoryEntry = 0xd8; // data directory 2 of the optional header
constexpr qint64 kSectionHeader = 0x148;
constexpr qint64 kRsrc = 0x200;
constexpr quint32 kRsrcRva = 0x1000;
constexpr qint64 kVersionTypeEntry = kRsrc + 0x18;
constexpr qint64 kNameEntry = kRsrc + 0x30;
constexpr qint64 kLanguageEntry = kRsrc + 0x48;
constexpr qint64 kDataEntry = kRsrc + 0x50;
constexpr qint64 kFixedFileInfo = kRsrc + 0x60 + 40;
constexpr qint64 kMinimumSectionSize = 0x400;
constexpr quint32 kSubdirectory = 0x80000000;

struct Patch {
    qint64 offset;
    quint32 value; // written little-endian over 4 bytes
};

struct Row {
    std::vector<Patch> patches{};
    int lastTableLengthChange = 0; // added to the last string table's wLength
    bool nameTerminated = true;    // ProductName's value ends with a NUL
    quint32 dataSize = 0;          // the data entry's size; 0: the version block's
    VersionResourceStatus status = VersionResourceStatus::Found;
    VersionResource expected{};
};

void put32(QByteArray& bytes, qint64 offset, quint32 value) {
    qToLittleEndian(value, bytes.data() + offset);
}

void put32(QByteArray& bytes, qint64 base,
           std::initializer_list<std::pair<qint64, quint32>> values) {
    for (const auto& [offset, value] : values)
        put32(bytes, base + offset, value);
}

QByteArray utf16(const QString& text, bool terminated = true) {
    QByteArray bytes(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
    return terminated ? bytes + QByteArray(2, '\0') : bytes;
}

// A node of the version block: wLength, wValueLength, wType, key, value, then the children,
// each on a 32-bit boundary.
QByteArray node(const QString& key, const QByteArray& value, const QList<QByteArray>& children,
                bool text = false, int lengthChange = 0) {
    QByteArray bytes(6, '\0');
    bytes += utf16(key);
    for (const QByteArray& part : QList<QByteArray>{value} + children) {
        bytes.append((4 - bytes.size() % 4) % 4, '\0');
        bytes += part;
    }
    qToLittleEndian<quint16>(bytes.size() + lengthChange, bytes.data());
    qToLittleEndian<quint16>(text ? value.size() / 2 : value.size(), bytes.data() + 2);
    qToLittleEndian<quint16>(text, bytes.data() + 4);
    return bytes;
}

QByteArray string(const QString& key, const QString& value, bool terminated = true) {
    return node(key, utf16(value, terminated), {}, true);
}

const VersionResource kExpected{u"Vexta Gr\u00fcn \u674e"_s, u"2.1.3.4 beta"_s, {2, 1, 3, 4}};

QByteArray versionBlock(const Row& row) {
    QByteArray fixed(52, '\0');
    // Signature, structure version 1.0, file version 9.9.9.9, product version 2.1.3.4.
    put32(
        fixed, 0,
        {{0, 0xfeef04bd}, {4, 0x10000}, {8, 0x90009}, {12, 0x90009}, {16, 0x20001}, {20, 0x30004}});
    // The zero bytes after the last String read as a length of 0, which ends the list.
    const QByteArray first =
        node(u"040904b0"_s, {},
             {string(u"CompanyName"_s, u"Quindlebrookware"_s),
              string(u"ProductName"_s, kExpected.productName, row.nameTerminated),
              string(u"ProductVersion"_s, kExpected.productVersionText),
              string(u"ProductName"_s, u"Other"_s), QByteArray(8, '\0')},
             true);
    const QByteArray last = node(u"040704b0"_s, {}, {string(u"ProductName"_s, u"Other"_s)}, true,
                                 row.lastTableLengthChange);
    const QByteArray translation = node(u"Translation"_s, QByteArray("\x09\x04\xb0\x04", 4), {});
    return node(u"VS_VERSION_INFO"_s, fixed,
                {node(u"StringFileInfo"_s, {}, {first, last}, true),
                 node(u"VarFileInfo"_s, {}, {translation}, true)});
}

void putDirectory(QByteArray& image, qint64 offset,
                  std::initializer_list<std::pair<quint32, quint32>> ids) {
    qToLittleEndian<quint16>(ids.size(), image.data() + offset + 14);
    qint64 entry = offset + 16;
    for (const auto& [id, target] : ids) {
        put32(image, entry, {{0, id}, {4, target}});
        entry += 8;
    }
}

// Headers, the section table with .rsrc, the section, then 512 bytes outside every section that
// start with a copy of the data entry: an offset that escapes the section finds something there.
QByteArray image(const Row& row) {
    const QByteArray block = versionBlock(row);
    const quint32 dataSize = row.dataSize != 0 ? row.dataSize : block.size();
    const qint64 sectionSize = std::max(kMinimumSectionSize, (0x60 + dataSize + 0x1ff) & ~0x1ffLL);
    QByteArray image(kRsrc + sectionSize + 0x200, '\0');
    image.replace(0, 2, "MZ");
    image.replace(0x40, 4, QByteArray("PE\0\0", 4));
    // e_lfanew; x64 with 1 section; SizeOfOptionalHeader; PE32+; NumberOfRvaAndSizes; the
    // resource table: the directories and the data entry.
    put32(image, 0,
          {{0x3c, 0x40},
           {0x44, 0x18664},
           {0x54, 240},
           {0x58, 0x20b},
           {0x58 + 108, 16},
           {kResourceDirectoryEntry, kRsrcRva},
           {kResourceDirectoryEntry + 4, 0x60}});
    image.replace(kSectionHeader, 5, ".rsrc");
    put32(image, kSectionHeader,
          {{8, quint32(sectionSize)}, {12, kRsrcRva}, {16, quint32(sectionSize)}, {20, kRsrc}});
    putDirectory(image, kRsrc, {{3, 0x50}, {16, kSubdirectory | 0x20}});
    putDirectory(image, kRsrc + 0x20, {{1, kSubdirectory | 0x38}});
    putDirectory(image, kRsrc + 0x38, {{0x409, 0x50}});
    for (const qint64 entry : {kDataEntry, kRsrc + sectionSize})
        put32(image, entry, {{0, kRsrcRva + 0x60}, {4, dataSize}});
    image.replace(kRsrc + 0x60, block.size(), block);
    for (const Patch& patch : row.patches)
        put32(image, patch.offset, patch.value);
    return image;
}

} // namespace

Q_DECLARE_METATYPE(Row)

class VersionResourceTest : public QObject {
    Q_OBJECT

private slots:
    void read_data();
    void read();
};

void VersionResourceTest::read_data() {
    using enum VersionResourceStatus;
    QTest::addColumn<Row>("row");
    const auto add = [](const char* name, const Row& row) { QTest::newRow(name) << row; };

    add("well-formed: first table, first ProductName, product (not file) version",
        {.expected = kExpected});
    add("no RT_VERSION among the types", {.patches = {{kVersionTypeEntry, 14}}, .status = Absent});
    // Followed, the loop would reach the root's RT_ICON entry, a data entry at the language level.
    add("name directory's entry leads back to the root",
        {.patches = {{kNameEntry + 4, kSubdirectory}}, .status = Malformed});
    add("type entry leads past the resource section",
        {.patches = {{kVersionTypeEntry + 4, kSubdirectory | kMinimumSectionSize}},
         .status = Malformed});
    add("language entry leads past the resource section",
        {.patches = {{kLanguageEntry + 4, kMinimumSectionSize}}, .status = Malformed});
    // SizeOfRawData 0x80: the section ends inside the version block.
    add("version data runs past its section's raw data, inside the file",
        {.patches = {{kSectionHeader + 16, 0x80}}, .status = Malformed});
    add("version data larger than the 64 KiB read",
        {.dataSize = kMaximumVersionResourceSize + 1, .status = Malformed});
    add("last string table runs past its StringFileInfo",
        {.lastTableLengthChange = 8, .status = Malformed});
    add("ProductName without its NUL", {.nameTerminated = false, .status = Malformed});
    add("VS_FIXEDFILEINFO signature off by one",
        {.patches = {{kFixedFileInfo, 0xfeef04bc}}, .status = Malformed});
}

void VersionResourceTest::read() {
    QFETCH(Row, row);

    const VersionResourceResult result = readVersionResource(MemoryByteSource(image(row)));

    QCOMPARE(result.status, row.status);
    QCOMPARE(result.resource.productName, row.expected.productName);
    QCOMPARE(result.resource.productVersionText, row.expected.productVersionText);
    const auto& version = result.resource.productVersion;
    QCOMPARE(
        QList<quint16>(version.begin(), version.end()),
        QList<quint16>(row.expected.productVersion.begin(), row.expected.productVersion.end()));
}

QTEST_GUILESS_MAIN(VersionResourceTest)
#include "tst_version_resource.moc"
