// Builds the PE32+ image field by field; offsets and values follow the PE/COFF format.

#include "installer_image.h"

#include <QFile>
#include <QSaveFile>

namespace InstallerImage {
namespace {

// The shell sees these two lines first. Both must end before e_lfanew at 0x3c.
constexpr char kFirstLine[] = "MZ\n";
constexpr char kSecondLine[] = "dd if=\"$0\" bs=64 skip=1 2>/dev/null|sh -s -- \"$@\";exit\n";
constexpr int kLfanewOffset = 0x3c;
static_assert(sizeof(kFirstLine) - 1 + sizeof(kSecondLine) - 1 <= kLfanewOffset,
              "the shell lines must end before e_lfanew");

// The payload starts right after the 64-byte DOS header, where "dd bs=64 skip=1" starts reading.
constexpr int kPayloadOffset = 0x40;
// Ends the payload shell before it reaches the PE headers. A plain "exit" keeps the status of
// the payload's last command, so the payload's own exit status is unchanged.
constexpr char kPayloadEnd[] = "\nexit\n";

constexpr int kMinimumLfanew = 0x400;
constexpr quint32 kFileAlignment = 0x200;
constexpr quint32 kSectionAlignment = 0x1000;
constexpr int kCoffHeaderSize = 20;
constexpr int kOptionalHeaderSize = 240; // PE32+ with 16 data directories
constexpr int kSectionHeaderSize = 40;
constexpr quint64 kImageBase = 0x140000000;

constexpr quint32 alignUp(quint32 value, quint32 alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// Little-endian writers into a zero-filled buffer.
class Writer {
public:
    explicit Writer(QByteArray& bytes) : bytes_(bytes) {}
    void u8(int offset, quint8 value) { bytes_[offset] = static_cast<char>(value); }
    void u16(int offset, quint16 value) {
        for (int i = 0; i < 2; ++i)
            u8(offset + i, static_cast<quint8>(value >> (8 * i)));
    }
    void u32(int offset, quint32 value) {
        for (int i = 0; i < 4; ++i)
            u8(offset + i, static_cast<quint8>(value >> (8 * i)));
    }
    void u64(int offset, quint64 value) {
        for (int i = 0; i < 8; ++i)
            u8(offset + i, static_cast<quint8>(value >> (8 * i)));
    }
    void bytes(int offset, const QByteArray& data) { bytes_.replace(offset, data.size(), data); }

private:
    QByteArray& bytes_;
};

// The stub area: the payload, its end and line-feed padding up to e_lfanew.
QByteArray stubArea(const QByteArray& payloadScript, quint32 lfanew) {
    QByteArray stub = payloadScript + kPayloadEnd;
    stub.append(static_cast<qsizetype>(lfanew - kPayloadOffset) - stub.size(), '\n');
    return stub;
}

// The PE checksum: the 16-bit one's-complement-style sum of the file with the checksum field
// taken as zero, folded, plus the file length.
quint32 peChecksum(const QByteArray& image, int checksumOffset) {
    quint64 sum = 0;
    for (int i = 0; i + 1 < image.size(); i += 2) {
        if (i == checksumOffset || i == checksumOffset + 2)
            continue;
        sum += static_cast<quint8>(image[i]) | (static_cast<quint8>(image[i + 1]) << 8);
        sum = (sum & 0xffff) + (sum >> 16);
    }
    sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<quint32>(sum + image.size());
}

} // namespace

QByteArray build(const QByteArray& payloadScript, quint32 nativeExitCode) {
    if (payloadScript.contains('\0') || payloadScript.size() > kMaximumPayloadSize)
        return {};

    const quint32 stubEnd = kPayloadOffset + payloadScript.size() + sizeof(kPayloadEnd) - 1;
    const quint32 lfanew = std::max<quint32>(kMinimumLfanew, alignUp(stubEnd, kFileAlignment));
    const int coff = static_cast<int>(lfanew) + 4;
    const int optional = coff + kCoffHeaderSize;
    const int section = optional + kOptionalHeaderSize;
    const quint32 sizeOfHeaders = alignUp(section + kSectionHeaderSize, kFileAlignment);
    const quint32 codeRva = alignUp(sizeOfHeaders, kSectionAlignment);
    // mov eax, nativeExitCode; ret: the process's initial thread returns its exit code.
    QByteArray code("\xB8", 1);
    for (int i = 0; i < 4; ++i)
        code.append(static_cast<char>(nativeExitCode >> (8 * i)));
    code.append('\xC3');

    QByteArray image(sizeOfHeaders + kFileAlignment, '\0');
    Writer w(image);

    // DOS header: only e_magic and e_lfanew matter to the loader; the bytes between them are
    // the shell lines, padded with line feeds.
    w.bytes(0, QByteArray(kFirstLine) + kSecondLine);
    for (int i = sizeof(kFirstLine) - 1 + sizeof(kSecondLine) - 1; i < kLfanewOffset; ++i)
        w.u8(i, '\n');
    w.u32(kLfanewOffset, lfanew);
    w.bytes(kPayloadOffset, stubArea(payloadScript, lfanew));

    w.bytes(static_cast<int>(lfanew), QByteArray("PE\0\0", 4));

    // COFF file header.
    w.u16(coff + 0, 0x8664);               // Machine: x64
    w.u16(coff + 2, 1);                    // NumberOfSections
    w.u16(coff + 16, kOptionalHeaderSize); // SizeOfOptionalHeader
    w.u16(coff + 18, 0x0002 | 0x0020);     // EXECUTABLE_IMAGE | LARGE_ADDRESS_AWARE

    // Optional header, PE32+.
    w.u16(optional + 0, 0x20b);                        // Magic
    w.u8(optional + 2, 14);                            // MajorLinkerVersion
    w.u32(optional + 4, kFileAlignment);               // SizeOfCode
    w.u32(optional + 16, codeRva);                     // AddressOfEntryPoint
    w.u32(optional + 20, codeRva);                     // BaseOfCode
    w.u64(optional + 24, kImageBase);                  // ImageBase
    w.u32(optional + 32, kSectionAlignment);           // SectionAlignment
    w.u32(optional + 36, kFileAlignment);              // FileAlignment
    w.u16(optional + 40, 6);                           // MajorOperatingSystemVersion
    w.u16(optional + 48, 6);                           // MajorSubsystemVersion
    w.u32(optional + 56, codeRva + kSectionAlignment); // SizeOfImage
    w.u32(optional + 60, sizeOfHeaders);               // SizeOfHeaders
    w.u16(optional + 68, 3);                           // Subsystem: console
    // DllCharacteristics: HIGH_ENTROPY_VA | DYNAMIC_BASE | NX_COMPAT | TERMINAL_SERVER_AWARE.
    // The code holds no absolute address, so it needs no relocations to move.
    w.u16(optional + 70, 0x0020 | 0x0040 | 0x0100 | 0x8000);
    w.u64(optional + 72, 0x100000); // SizeOfStackReserve
    w.u64(optional + 80, 0x1000);   // SizeOfStackCommit
    w.u64(optional + 88, 0x100000); // SizeOfHeapReserve
    w.u64(optional + 96, 0x1000);   // SizeOfHeapCommit
    w.u32(optional + 108, 16);      // NumberOfRvaAndSizes; all 16 directories stay empty

    // Section table: one executable code section.
    w.bytes(section, QByteArray(".text\0\0\0", 8));
    w.u32(section + 8, static_cast<quint32>(code.size()));     // VirtualSize
    w.u32(section + 12, codeRva);                              // VirtualAddress
    w.u32(section + 16, kFileAlignment);                       // SizeOfRawData
    w.u32(section + 20, sizeOfHeaders);                        // PointerToRawData
    w.u32(section + 36, 0x00000020 | 0x20000000 | 0x40000000); // CODE | EXECUTE | READ

    w.bytes(static_cast<int>(sizeOfHeaders), code);
    w.u32(optional + 64, peChecksum(image, optional + 64)); // CheckSum
    return image;
}

bool write(const QString& path, const QByteArray& payloadScript, quint32 nativeExitCode) {
    const QByteArray image = build(payloadScript, nativeExitCode);
    if (image.isEmpty())
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size() || !file.commit())
        return false;
    return QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ExeOwner | QFileDevice::ReadUser |
                                           QFileDevice::WriteUser | QFileDevice::ExeUser);
}

} // namespace InstallerImage
