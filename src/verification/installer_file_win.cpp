// Windows: the installer file itself, held open with a share mode that lets others read and
// execute it, but not write, rename or delete it.

#include "installer_file.h"

#include <QDir>

#include <windows.h>

std::unique_ptr<InstallerFile> InstallerFile::open(const QString& path) {
    // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself rather than what it points at; a link is
    // then refused below. No FILE_SHARE_WRITE or FILE_SHARE_DELETE: while this handle is open,
    // nobody can change, rename or delete the file, nor the directories above it.
    const HANDLE handle =
        CreateFileW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(path).utf16()), GENERIC_READ,
                    FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    FILE_ATTRIBUTE_TAG_INFO attributes = {};
    LARGE_INTEGER size = {};
    const bool regularFile = GetFileType(handle) == FILE_TYPE_DISK &&
                             GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &attributes,
                                                          sizeof(attributes)) &&
                             (attributes.FileAttributes &
                              (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
                             GetFileSizeEx(handle, &size);
    if (!regularFile) {
        CloseHandle(handle);
        return nullptr;
    }
    return std::unique_ptr<InstallerFile>(
        new InstallerFile(path, reinterpret_cast<std::intptr_t>(handle), size.QuadPart));
}

InstallerFile::~InstallerFile() {
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

qint64 InstallerFile::readAt(qint64 offset, char* buffer, qint64 length) const {
    OVERLAPPED position = {};
    position.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    const DWORD wanted = static_cast<DWORD>(std::min<qint64>(length, 0x7FFFFFFF));
    if (!ReadFile(reinterpret_cast<HANDLE>(handle_), buffer, wanted, &read, &position))
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return read;
}
