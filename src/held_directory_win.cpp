// Windows: a directory handle, shared for everything (the claim, below, is the handle that denies
// deletion); entries opened relative to it with NtCreateFile (the Win32 calls take whole paths
// only) as themselves (FILE_OPEN_REPARSE_POINT), and deleted through their own handles.

#include "held_directory.h"

#include <QDir>

// clang-format off
#include <windows.h>
#include <winternl.h>
// clang-format on

#ifndef FILE_OPEN_REPARSE_POINT
#define FILE_OPEN_REPARSE_POINT 0x00200000
#endif

namespace {

// Held for listing and traversing only, sharing everything: a process may still take the
// directory as its working directory (the installer does, its private copy's). The directory is
// deleted through a handle of its own, opened relative to the held one when the time comes.
constexpr DWORD kHeldAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE openAtPath(const QString& path, DWORD access, DWORD share) {
    return CreateFileW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(path).utf16()), access,
                       share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

FILE_ATTRIBUTE_TAG_INFO attributesOf(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO attributes = {};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &attributes,
                                      sizeof(attributes)))
        attributes.FileAttributes = INVALID_FILE_ATTRIBUTES;
    return attributes;
}

bool isRealDirectory(HANDLE handle) {
    const DWORD attributes = attributesOf(handle).FileAttributes;
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// An entry of the directory, opened as itself (a junction or symbolic link is not followed); an
// empty name opens the directory itself again.
WinHandle openEntry(HANDLE directory, const QString& name, ACCESS_MASK access) {
    UNICODE_STRING text;
    text.Buffer = const_cast<PWSTR>(reinterpret_cast<PCWSTR>(name.utf16()));
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, directory, nullptr);
    IO_STATUS_BLOCK status = {};
    HANDLE entry = nullptr;
    const NTSTATUS opened =
        NtCreateFile(&entry, access | SYNCHRONIZE, &object, &status, nullptr, 0, kShareAll,
                     FILE_OPEN, FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    return WinHandle(opened >= 0 ? entry : nullptr);
}

bool deleteThrough(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof(disposition));
}

// The names in the directory behind the handle, but "." and "..".
QStringList entryNames(HANDLE directory) {
    QStringList names;
    alignas(8) BYTE buffer[16384];
    FILE_INFO_BY_HANDLE_CLASS request = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(directory, request, buffer, sizeof buffer)) {
        request = FileIdBothDirectoryInfo;
        for (auto* entry = reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(buffer);;
             entry = reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(reinterpret_cast<BYTE*>(entry) +
                                                              entry->NextEntryOffset)) {
            const QString name = QString::fromWCharArray(
                entry->FileName, static_cast<qsizetype>(entry->FileNameLength / sizeof(wchar_t)));
            if (name != QLatin1String(".") && name != QLatin1String(".."))
                names << name;
            if (entry->NextEntryOffset == 0)
                break;
        }
    }
    return names;
}

// Removes what the directory behind the handle holds, depth first: a real directory's contents
// first, a junction or link as itself.
bool removeContents(HANDLE directory) {
    bool complete = true;
    for (const QString& name : entryNames(directory)) {
        const WinHandle entry = openEntry(directory, name, DELETE | FILE_LIST_DIRECTORY);
        if (!entry) {
            complete = false;
            continue;
        }
        if (isRealDirectory(entry.get()))
            complete = removeContents(entry.get()) && complete;
        complete = deleteThrough(entry.get()) && complete;
    }
    return complete;
}

BY_HANDLE_FILE_INFORMATION identityOf(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information = {};
    GetFileInformationByHandle(handle, &information);
    return information;
}

} // namespace

std::unique_ptr<HeldDirectory> HeldDirectory::open(const QString& path) {
    WinHandle handle(openAtPath(path, kHeldAccess, kShareAll));
    // The path's own attributes too: Wine reports a symbolic link of the Unix side as a reparse
    // point there, but not through a handle.
    const DWORD attributes =
        GetFileAttributesW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(path).utf16()));
    if (!handle || !isRealDirectory(handle.get()) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return nullptr;
    return std::unique_ptr<HeldDirectory>(new HeldDirectory(path, std::move(handle)));
}

std::unique_ptr<HeldDirectory> HeldDirectory::openUnclaimed(const QString& path, bool& inUse) {
    // A claim, or a process's working directory, denies deletion: an open for deletion then
    // fails with a sharing violation.
    const WinHandle probe(openAtPath(path, DELETE, kShareAll));
    inUse = !probe && GetLastError() == ERROR_SHARING_VIOLATION;
    return probe ? open(path) : nullptr;
}

OwnedHandle HeldDirectory::claim(const QString& path) {
    return WinHandle(
        openAtPath(path, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE));
}

HeldDirectory::~HeldDirectory() = default;

QStringList HeldDirectory::entries() const {
    QStringList names = entryNames(handle_.get());
    names.sort();
    return names;
}

bool HeldDirectory::stillAtPath() const {
    const WinHandle atPath(openAtPath(path_, FILE_READ_ATTRIBUTES, kShareAll));
    const BY_HANDLE_FILE_INFORMATION held = identityOf(handle_.get());
    const BY_HANDLE_FILE_INFORMATION found = identityOf(atPath.get());
    return handle_ && atPath && isRealDirectory(atPath.get()) &&
           held.dwVolumeSerialNumber == found.dwVolumeSerialNumber &&
           held.nFileIndexHigh == found.nFileIndexHigh && held.nFileIndexLow == found.nFileIndexLow;
}

bool HeldDirectory::contains(const QString& name) const {
    return stillAtPath() && openEntry(handle_.get(), name, FILE_READ_ATTRIBUTES).isValid();
}

bool HeldDirectory::removeFile(const QString& name) {
    if (!stillAtPath())
        return false;
    const WinHandle entry = openEntry(handle_.get(), name, DELETE);
    return entry && !isRealDirectory(entry.get()) && deleteThrough(entry.get());
}

bool HeldDirectory::pathExists() const {
    return GetFileAttributesW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(path_).utf16())) !=
           INVALID_FILE_ATTRIBUTES;
}

bool HeldDirectory::removeIfEmpty() {
    if (!stillAtPath())
        return false;
    const WinHandle self = openEntry(handle_.get(), QString(), DELETE);
    if (!self || !deleteThrough(self.get()))
        return false;
    // Deleted when its last handle closes: these.
    handle_.reset();
    return true;
}

bool HeldDirectory::removeRecursively() {
    const bool contentsRemoved = stillAtPath() && removeContents(handle_.get());
    return removeIfEmpty() && contentsRemoved;
}
