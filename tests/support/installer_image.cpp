// Builds the PE32+ image field by field; offsets and values follow the PE/COFF format. The
// checksum stays 0 ("not computed"), which Windows accepts for programs.

#include "installer_image.h"

#include <QtEndian>

#include <algorithm>

namespace InstallerImage {
namespace {

// The shell sees these two lines first; both must end before e_lfanew at 0x3c.
constexpr char kShellLines[] = "MZ\ndd if=\"$0\" bs=64 skip=1 2>/dev/null|sh -s -- \"$@\";exit\n";
constexpr int kLfanewOffset = 0x3c;
static_assert(sizeof(kShellLines) - 1 <= kLfanewOffset, "the shell lines must end before e_lfanew");
// The payload starts right after the 64-byte DOS header, where "dd bs=64 skip=1" starts reading.
// A plain "exit" after it ends the payload shell before the PE headers, with the status of the
// payload's last command.
constexpr int kPayloadOffset = 0x40;
constexpr char kPayloadEnd[] = "\nexit\n";
constexpr quint32 kFileAlignment = 0x200;
constexpr quint32 kSectionAlignment = 0x1000;
constexpr int kOptionalHeaderSize = 240; // PE32+ with 16 data directories

constexpr quint32 alignUp(quint32 value, quint32 alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

} // namespace

QByteArray build(const QByteArray& payloadScript, quint32 nativeExitCode) {
    if (payloadScript.contains('\0') || payloadScript.size() > kMaximumPayloadSize)
        return {};
    const QByteArray stub = payloadScript + kPayloadEnd;
    const quint32 lfanew =
        std::max<quint32>(0x400, alignUp(kPayloadOffset + stub.size(), kFileAlignment));
    const int coff = static_cast<int>(lfanew) + 4;
    const int optional = coff + 20;
    const int section = optional + kOptionalHeaderSize;
    const quint32 sizeOfHeaders = alignUp(section + 40, kFileAlignment);
    const quint32 codeRva = alignUp(sizeOfHeaders, kSectionAlignment);

    QByteArray image(sizeOfHeaders + kFileAlignment, '\0');
    const auto put = [&image](int offset, auto value) {
        qToLittleEndian(value, image.data() + offset);
    };
    // DOS header and stub: only e_magic and e_lfanew matter to the loader; around the shell lines
    // and the payload, line feeds.
    image.replace(0, lfanew, QByteArray(lfanew, '\n'));
    image.replace(0, sizeof(kShellLines) - 1, kShellLines);
    put(kLfanewOffset, lfanew);
    image.replace(kPayloadOffset, stub.size(), stub);
    image.replace(lfanew, 4, QByteArray("PE\0\0", 4));

    // COFF file header.
    put(coff + 0, quint16{0x8664});               // Machine: x64
    put(coff + 2, quint16{1});                    // NumberOfSections
    put(coff + 16, quint16{kOptionalHeaderSize}); // SizeOfOptionalHeader
    put(coff + 18, quint16{0x0002 | 0x0020});     // EXECUTABLE_IMAGE | LARGE_ADDRESS_AWARE

    // Optional header, PE32+.
    put(optional + 0, quint16{0x20b});               // Magic
    put(optional + 2, quint8{14});                   // MajorLinkerVersion
    put(optional + 4, kFileAlignment);               // SizeOfCode
    put(optional + 16, codeRva);                     // AddressOfEntryPoint
    put(optional + 20, codeRva);                     // BaseOfCode
    put(optional + 24, quint64{0x140000000});        // ImageBase
    put(optional + 32, kSectionAlignment);           // SectionAlignment
    put(optional + 36, kFileAlignment);              // FileAlignment
    put(optional + 40, quint16{6});                  // MajorOperatingSystemVersion
    put(optional + 48, quint16{6});                  // MajorSubsystemVersion
    put(optional + 56, codeRva + kSectionAlignment); // SizeOfImage
    put(optional + 60, sizeOfHeaders);               // SizeOfHeaders
    put(optional + 68, quint16{3});                  // Subsystem: console
    // DllCharacteristics: HIGH_ENTROPY_VA | DYNAMIC_BASE | NX_COMPAT | TERMINAL_SERVER_AWARE.
    // The code holds no absolute address, so it needs no relocations to move.
    put(optional + 70, quint16{0x0020 | 0x0040 | 0x0100 | 0x8000});
    put(optional + 72, quint64{0x100000}); // SizeOfStackReserve
    put(optional + 80, quint64{0x1000});   // SizeOfStackCommit
    put(optional + 88, quint64{0x100000}); // SizeOfHeapReserve
    put(optional + 96, quint64{0x1000});   // SizeOfHeapCommit
    put(optional + 108, quint32{16});      // NumberOfRvaAndSizes; all 16 directories stay empty

    // Section table: one executable code section, "mov eax, nativeExitCode; ret": the process's
    // initial thread returns its exit code.
    image.replace(section, 5, ".text");
    put(section + 8, quint32{6});                                     // VirtualSize
    put(section + 12, codeRva);                                       // VirtualAddress
    put(section + 16, kFileAlignment);                                // SizeOfRawData
    put(section + 20, sizeOfHeaders);                                 // PointerToRawData
    put(section + 36, quint32{0x00000020 | 0x20000000 | 0x40000000}); // CODE | EXECUTE | READ
    put(static_cast<int>(sizeOfHeaders), quint8{0xB8});
    put(static_cast<int>(sizeOfHeaders) + 1, nativeExitCode);
    put(static_cast<int>(sizeOfHeaders) + 5, quint8{0xC3});
    return image;
}

} // namespace InstallerImage
