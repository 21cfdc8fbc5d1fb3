#include "version_resource.h"

#include "pe_image.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace {

using Status = VersionResourceStatus;

constexpr qint64 kSectionHeaderSize = 40;

constexpr quint32 kRtVersion = 16;
constexpr quint32 kSubdirectoryFlag = 0x80000000;
constexpr qint64 kResourceDirectoryHeaderSize = 16;
constexpr qint64 kResourceDirectoryEntrySize = 8;
constexpr qint64 kResourceDataEntrySize = 16;

constexpr qsizetype kVersionNodeHeaderSize = 6; // wLength, wValueLength, wType
constexpr quint32 kFixedFileInfoSignature = 0xFEEF04BD;
constexpr qsizetype kFixedFileInfoSize = 52;

constexpr qsizetype alignTo32Bits(qsizetype offset) {
    return (offset + 3) & ~qsizetype(3);
}

// The bytes that the file holds for one section: the RVAs [virtualAddress, virtualAddress + size)
// are the file's bytes [fileOffset, fileOffset + size).
struct SectionBytes {
    qint64 virtualAddress = 0;
    qint64 size = 0;
    qint64 fileOffset = 0;
};

struct ImageHeaders {
    PeLayout layout; // with the resource table's directory entry
    std::vector<SectionBytes> sections;
};

// The resource table's directory entry and the section table. nullopt when the headers are not a
// PE image's. The section table holds at most 65535 headers of 40 bytes, and is read only when the
// file is that long.
std::optional<ImageHeaders> readImageHeaders(const ByteSource& image) {
    const std::optional<PeLayout> layout = parsePeLayout(image);
    if (!layout)
        return std::nullopt;
    ImageHeaders headers{*layout, {}};
    const std::optional<QByteArray> table =
        readExactly(image, layout->sectionTableOffset, layout->sectionCount * kSectionHeaderSize);
    if (!table)
        return std::nullopt;
    for (qsizetype at = 0; at < table->size(); at += kSectionHeaderSize) {
        const quint32 virtualSize = peU32(*table, at + 8);
        const quint32 rawSize = peU32(*table, at + 16);
        // A section's memory beyond its raw data is zeros, and raw data beyond its virtual size
        // (the file alignment's padding) is not loaded: the file holds the smaller of the two.
        const quint32 held = virtualSize != 0 ? std::min(virtualSize, rawSize) : rawSize;
        headers.sections.push_back({peU32(*table, at + 12), held, peU32(*table, at + 20)});
    }
    return headers;
}

// Where the RVAs [rva, rva + length) lie in the file, and where the bytes of the section that
// holds them end there.
struct FileRange {
    qint64 offset = 0;
    qint64 sectionEnd = 0;
};

// nullopt when no section holds rva, or the range leaves that section's bytes or the file.
std::optional<FileRange> mapRva(const ImageHeaders& headers, qint64 fileSize, quint32 rva,
                                qint64 length) {
    for (const SectionBytes& section : headers.sections) {
        if (rva < section.virtualAddress || rva >= section.virtualAddress + section.size)
            continue;
        const qint64 sectionEnd = section.fileOffset + section.size;
        if (rva + length > section.virtualAddress + section.size || sectionEnd > fileSize)
            return std::nullopt;
        return FileRange{section.fileOffset + (rva - section.virtualAddress), sectionEnd};
    }
    return std::nullopt;
}

// The resource table in the file. Directories and data entries are addressed by offsets from its
// start and must lie between there and the end of its section.
struct ResourceArea {
    qint64 start = 0;
    qint64 end = 0;

    bool holds(qint64 offset, qint64 length) const {
        return offset >= 0 && length <= end - start && offset <= end - start - length;
    }
};

struct ResourceDirectoryEntry {
    quint32 name = 0;   // an ID, or with the high bit set the offset of a name string
    quint32 target = 0; // with kSubdirectoryFlag a directory's offset, else a data entry's
};

// IMAGE_RESOURCE_DIRECTORY: Characteristics, TimeDateStamp, MajorVersion, MinorVersion, then the
// counts of named and of ID entries, whose 8-byte entries follow, the named ones first.
struct ResourceDirectory {
    int namedCount = 0;
    std::vector<ResourceDirectoryEntry> entries;
};

// nullopt when the directory or its entries leave the area, or it announces more entries than
// kMaximumResourceDirectoryEntries.
std::optional<ResourceDirectory> readResourceDirectory(const ByteSource& image,
                                                       const ResourceArea& area, qint64 offset) {
    if (!area.holds(offset, kResourceDirectoryHeaderSize))
        return std::nullopt;
    const std::optional<QByteArray> header =
        readExactly(image, area.start + offset, kResourceDirectoryHeaderSize);
    if (!header)
        return std::nullopt;
    ResourceDirectory directory;
    directory.namedCount = peU16(*header, 12);
    const int count = directory.namedCount + peU16(*header, 14);
    if (count > kMaximumResourceDirectoryEntries)
        return std::nullopt;
    const qint64 entriesOffset = offset + kResourceDirectoryHeaderSize;
    if (!area.holds(entriesOffset, count * kResourceDirectoryEntrySize))
        return std::nullopt;
    const std::optional<QByteArray> entries =
        readExactly(image, area.start + entriesOffset, count * kResourceDirectoryEntrySize);
    if (!entries)
        return std::nullopt;
    for (qsizetype at = 0; at < entries->size(); at += kResourceDirectoryEntrySize)
        directory.entries.push_back({peU32(*entries, at), peU32(*entries, at + 4)});
    return directory;
}

// IMAGE_RESOURCE_DATA_ENTRY: the RVA and size of the resource's bytes (then a code page and a
// reserved field, unused here).
struct ResourceData {
    quint32 rva = 0;
    quint32 size = 0;
};

// The type directory (the root) holds RT_VERSION as an ID entry; it leads to a directory of names
// (VS_VERSION_INFO is 1) whose first entry leads to a directory of languages, whose first entry is
// the data entry. The levels are fixed: the type and name levels point at directories, the
// language level at data. A directory already visited on the way is a loop and Malformed.
Status findVersionData(const ByteSource& image, const ResourceArea& area, ResourceData& data) {
    const std::optional<ResourceDirectory> types = readResourceDirectory(image, area, 0);
    if (!types)
        return Status::Malformed;
    const auto ids = types->entries.begin() + types->namedCount;
    const auto version =
        std::find_if(ids, types->entries.end(),
                     [](const ResourceDirectoryEntry& entry) { return entry.name == kRtVersion; });
    if (version == types->entries.end())
        return Status::Absent;

    std::vector<qint64> visited{0};
    quint32 target = version->target;
    for (int level = 0; level < 2; ++level) { // the name, then the language directory
        if ((target & kSubdirectoryFlag) == 0)
            return Status::Malformed;
        const qint64 offset = target & ~kSubdirectoryFlag;
        if (std::find(visited.begin(), visited.end(), offset) != visited.end())
            return Status::Malformed;
        visited.push_back(offset);
        const std::optional<ResourceDirectory> directory =
            readResourceDirectory(image, area, offset);
        if (!directory)
            return Status::Malformed;
        if (directory->entries.empty()) // RT_VERSION with no resource filed under it
            return Status::Absent;
        target = directory->entries.front().target;
    }
    if ((target & kSubdirectoryFlag) != 0 || !area.holds(target, kResourceDataEntrySize))
        return Status::Malformed;
    const std::optional<QByteArray> entry =
        readExactly(image, area.start + target, kResourceDataEntrySize);
    if (!entry)
        return Status::Malformed;
    data = {peU32(*entry, 0), peU32(*entry, 4)};
    return Status::Found;
}

// One node of the version block (VS_VERSIONINFO, StringFileInfo, StringTable, String,
// VarFileInfo, Var): wLength (the node's bytes with its children), wValueLength, wType, a
// NUL-terminated UTF-16 key, padding to 32 bits, the value, padding, then the children, each on
// a 32-bit boundary. Offsets are from the start of the block.
struct VersionNode {
    QString key;
    quint16 valueLength = 0;
    qsizetype valueOffset = 0; // after the key and its padding; at most end
    qsizetype end = 0;
};

// The UTF-16LE text from offset up to its NUL, which must come before end; `next` is then the
// offset after the NUL. nullopt when there is no NUL before end.
std::optional<QString> readText(const QByteArray& block, qsizetype offset, qsizetype end,
                                qsizetype& next) {
    QString text;
    for (qsizetype at = offset; at + 2 <= end; at += 2) {
        const quint16 unit = peU16(block, at);
        if (unit == 0) {
            next = at + 2;
            return text;
        }
        text.append(QChar(unit));
    }
    return std::nullopt;
}

// The node at offset, which must end by parentEnd: nullopt when its length is shorter than its
// header, leaves the parent, or ends before its key's NUL.
std::optional<VersionNode> readVersionNode(const QByteArray& block, qsizetype offset,
                                           qsizetype parentEnd) {
    if (parentEnd - offset < kVersionNodeHeaderSize)
        return std::nullopt;
    const qsizetype length = peU16(block, offset);
    if (length < kVersionNodeHeaderSize || length > parentEnd - offset)
        return std::nullopt;
    VersionNode node;
    node.valueLength = peU16(block, offset + 2);
    node.end = offset + length;
    qsizetype afterKey = 0;
    std::optional<QString> key =
        readText(block, offset + kVersionNodeHeaderSize, node.end, afterKey);
    if (!key)
        return std::nullopt;
    node.key = std::move(*key);
    node.valueOffset = std::min(alignTo32Bits(afterKey), node.end);
    return node;
}

// The nodes that follow one another from `from` (rounded up to 32 bits) to end, a parent's
// children. The list ends where fewer bytes than a node header remain, or at a length of 0 (zero
// bytes that fill the rest of the parent), which would never advance the walk; every other node
// advances it by at least its header. nullopt when a node is malformed or leaves the list.
std::optional<std::vector<VersionNode>> readChildren(const QByteArray& block, qsizetype from,
                                                     qsizetype end) {
    std::vector<VersionNode> children;
    for (qsizetype offset = alignTo32Bits(from); end - offset >= kVersionNodeHeaderSize;) {
        if (peU16(block, offset) == 0)
            break;
        std::optional<VersionNode> child = readVersionNode(block, offset, end);
        if (!child)
            return std::nullopt;
        offset = alignTo32Bits(child->end);
        children.push_back(std::move(*child));
    }
    return children;
}

// VS_FIXEDFILEINFO: dwSignature 0xFEEF04BD, dwStrucVersion, dwFileVersionMS/LS, then
// dwProductVersionMS/LS, whose high and low words are the four numbers of the product version.
std::optional<std::array<quint16, 4>> readFixedFileInfo(const QByteArray& block, qsizetype offset) {
    if (peU32(block, offset) != kFixedFileInfoSignature)
        return std::nullopt;
    const quint32 high = peU32(block, offset + 16);
    const quint32 low = peU32(block, offset + 20);
    return std::array<quint16, 4>{quint16(high >> 16), quint16(high), quint16(low >> 16),
                                  quint16(low)};
}

// A String's value: UTF-16 text from after its key up to its NUL. wValueLength is not relied on:
// compilers disagree on whether it counts bytes or characters, with the NUL or without. A value
// may be empty with no NUL at all; text that reaches the end of its String without a NUL is
// longer than its block: nullopt.
std::optional<QString> readStringValue(const QByteArray& block, const VersionNode& string) {
    if (string.valueOffset >= string.end)
        return QString();
    qsizetype next = 0;
    return readText(block, string.valueOffset, string.end, next);
}

// StringFileInfo has no value: its children, the StringTables (one per language and code page),
// follow its key, and the strings of the first one are read. Every String of that table must be
// well formed; where a key appears twice, its first value counts.
bool readFirstStringTable(const QByteArray& block, const VersionNode& stringFileInfo,
                          VersionResource& resource) {
    const std::optional<std::vector<VersionNode>> tables =
        readChildren(block, stringFileInfo.valueOffset, stringFileInfo.end);
    if (!tables)
        return false;
    if (tables->empty())
        return true;
    const VersionNode& table = tables->front(); // no value either: its Strings follow its key
    const std::optional<std::vector<VersionNode>> strings =
        readChildren(block, table.valueOffset, table.end);
    if (!strings)
        return false;
    std::optional<QString> name;
    std::optional<QString> versionText;
    for (const VersionNode& string : *strings) {
        std::optional<QString> value = readStringValue(block, string);
        if (!value)
            return false;
        if (string.key == u"ProductName" && !name)
            name = std::move(value);
        else if (string.key == u"ProductVersion" && !versionText)
            versionText = std::move(value);
    }
    resource.productName = name.value_or(QString());
    resource.productVersionText = versionText.value_or(QString());
    return true;
}

// VS_VERSIONINFO: the key "VS_VERSION_INFO", a VS_FIXEDFILEINFO as its value, then its children:
// StringFileInfo (the first one is read) and VarFileInfo (ignored), or others (ignored).
std::optional<VersionResource> parseVersionInfo(const QByteArray& block) {
    const std::optional<VersionNode> root = readVersionNode(block, 0, block.size());
    if (!root || root->key != u"VS_VERSION_INFO" || root->valueLength != kFixedFileInfoSize ||
        root->end - root->valueOffset < kFixedFileInfoSize)
        return std::nullopt;
    VersionResource resource;
    const std::optional<std::array<quint16, 4>> version =
        readFixedFileInfo(block, root->valueOffset);
    if (!version)
        return std::nullopt;
    resource.productVersion = *version;
    const std::optional<std::vector<VersionNode>> children =
        readChildren(block, root->valueOffset + kFixedFileInfoSize, root->end);
    if (!children)
        return std::nullopt;
    for (const VersionNode& child : *children) {
        if (child.key != u"StringFileInfo")
            continue;
        if (!readFirstStringTable(block, child, resource))
            return std::nullopt;
        break;
    }
    return resource;
}

} // namespace

VersionResourceResult readVersionResource(const ByteSource& image) {
    const VersionResourceResult malformed{Status::Malformed, {}};
    const std::optional<ImageHeaders> headers = readImageHeaders(image);
    if (!headers)
        return malformed;
    const PeLayout& layout = headers->layout;
    if (layout.resourceTableRva == 0 || layout.resourceTableSize == 0)
        return {Status::Absent, {}};
    const std::optional<FileRange> table =
        mapRva(*headers, image.size(), layout.resourceTableRva, layout.resourceTableSize);
    if (!table)
        return malformed;

    ResourceData data;
    const Status found = findVersionData(image, {table->offset, table->sectionEnd}, data);
    if (found != Status::Found)
        return {found, {}};
    if (data.size < kVersionNodeHeaderSize || data.size > kMaximumVersionResourceSize)
        return malformed;
    const std::optional<FileRange> range = mapRva(*headers, image.size(), data.rva, data.size);
    if (!range)
        return malformed;
    const std::optional<QByteArray> block = readExactly(image, range->offset, data.size);
    if (!block)
        return malformed;
    std::optional<VersionResource> resource = parseVersionInfo(*block);
    if (!resource)
        return malformed;
    return {Status::Found, std::move(*resource)};
}
