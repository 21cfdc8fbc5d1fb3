// Windows: a handle opened with FILE_APPEND_DATA (and no FILE_WRITE_DATA) writes every block at
// the end of the file as it is at that moment, so lines of two processes never overwrite each
// other; a plain write handle that seeks to the end once would not guarantee that. The write is
// also made under an exclusive lock of one byte far beyond any log's end, which every updater
// process takes for its own write: file systems that do not append atomically (network shares,
// and Wine, which seeks and then writes) get the same guarantee. LockFileEx needs a handle with
// read or write data access, hence FILE_READ_DATA beside FILE_APPEND_DATA (still append-only).
// Readers are never blocked.

#include "log_file.h"

#include <QDir>

#include <windows.h>

OwnedHandle openLogFile(const QString& path) {
    return WinHandle(CreateFileW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(path).utf16()),
                                 FILE_READ_DATA | FILE_APPEND_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool appendLogLine(const QString& path, const QByteArray& utf8Line) {
    QByteArray text = utf8Line;
    text.replace("\n", "\r\n"); // text mode: the platform's line end
    const WinHandle log = openLogFile(path);
    if (!log)
        return false;
    // Offset 2^62: no log ever reaches it, so the lock never covers a byte that is read.
    OVERLAPPED lockRange = {};
    lockRange.OffsetHigh = 0x40000000;
    const bool locked = LockFileEx(log.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lockRange);
    DWORD written = 0;
    const bool complete = WriteFile(log.get(), text.constData(), static_cast<DWORD>(text.size()),
                                    &written, nullptr) &&
                          written == static_cast<DWORD>(text.size());
    if (locked)
        UnlockFileEx(log.get(), 0, 1, 0, &lockRange);
    return complete;
}
