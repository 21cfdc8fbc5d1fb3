// Windows: the installer's private copy, "installer.exe" alone in a directory of its own in TEMP
// ("Quindlebrookware-Updater-<uuid>", which the next original updater sweeps away should this
// process be killed before it removes it).
//
// The staged installer's own folder is the user-writable staging directory: an elevated program
// loads every DLL that is not a KnownDLL from its own folder first, so a DLL that any process of
// the user drops there during the wait would run with administrator rights. The private directory
// takes that away: its access list lets the user read, run and delete, never add a file, and
// OWNER RIGHTS keeps the owner (the user) from changing the list. The list is set in two steps,
// since this process, the user too, must first put the copy in: created for the owner alone,
// the copy written, then locked, and only a directory that then holds the copy and nothing else
// is used.

#include "contract.h"
#include "held_directory.h"
#include "installer_copy.h"
#include "installer_file.h"

#include <QDir>
#include <QUuid>

#include <string>

// clang-format off
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
// clang-format on

namespace {

using Opened = InstallerFile::Opened;
using Refusal = InstallerFile::Refusal;

// A staged installer that an antivirus scanner or a sync client holds at the moment is tried
// again, for this long, this often.
constexpr DWORD kSharingRetryMs = 5000;
constexpr DWORD kSharingRetryStepMs = 250;
constexpr int kRemovalAttempts = 20;
constexpr DWORD kRemovalRetryMs = 100;

// Access lists in SDDL. S-1-3-4 is OWNER RIGHTS; 0x1200a9 is read and execute (FILE_GENERIC_READ
// | FILE_GENERIC_EXECUTE), 0x10000 DELETE, 0x40 FILE_DELETE_CHILD. SYSTEM and Administrators
// keep full access: the installer runs elevated, as an administrator.
const QString kCopyingDirectory = QStringLiteral("D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;S-1-3-4)");
const QString kLockedDirectory =
    QStringLiteral("D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1300e9;;;S-1-3-4)(A;;0x1300e9;;;%1)");
const QString kLockedFile =
    QStringLiteral("D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1300a9;;;S-1-3-4)(A;;0x1300a9;;;%1)");

Opened failed(Refusal refusal, DWORD error = GetLastError()) {
    return {nullptr, refusal, error, 0, 0};
}

std::wstring native(const QString& path) {
    return QDir::toNativeSeparators(path).toStdWString();
}

// The SID of this process's user in its string form; empty when it cannot be had.
QString userSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    const WinHandle owner(token);
    alignas(TOKEN_USER) BYTE buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    DWORD size = 0;
    LPWSTR text = nullptr;
    if (!GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text))
        return {};
    const QString sid = QString::fromWCharArray(text);
    LocalFree(text);
    return sid;
}

// A security descriptor from SDDL, freed with LocalFree by its owner.
struct SecurityDescriptor {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    explicit SecurityDescriptor(const QString& sddl) {
        ConvertStringSecurityDescriptorToSecurityDescriptorW(
            reinterpret_cast<LPCWSTR>(sddl.utf16()), SDDL_REVISION_1, &descriptor, nullptr);
    }
    ~SecurityDescriptor() { LocalFree(descriptor); }
    SecurityDescriptor(const SecurityDescriptor&) = delete;
    SecurityDescriptor& operator=(const SecurityDescriptor&) = delete;
    SECURITY_ATTRIBUTES attributes() { return {sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE}; }
    PACL accessList() const {
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL list = nullptr;
        GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted);
        return list;
    }
};

// A path that Windows' file and shell calls take without the "\\?\" form: shorter than MAX_PATH.
bool fitsMaxPath(const std::wstring& path) {
    return path.size() < MAX_PATH;
}

HANDLE openStaged(const std::wstring& path, DWORD& error) {
    for (DWORD waited = 0;; waited += kSharingRetryStepMs) {
        // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself rather than what it points at; a link
        // is then refused as not a regular file. No FILE_SHARE_WRITE or FILE_SHARE_DELETE: nobody
        // changes the file while it is copied.
        const HANDLE handle =
            CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (handle != INVALID_HANDLE_VALUE)
            return handle;
        error = GetLastError();
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) ||
            waited >= kSharingRetryMs)
            return INVALID_HANDLE_VALUE;
        Sleep(kSharingRetryStepMs);
    }
}

bool isRegularFile(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO attributes = {};
    return GetFileType(handle) == FILE_TYPE_DISK &&
           GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &attributes,
                                        sizeof(attributes)) &&
           (attributes.FileAttributes &
            (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

} // namespace

InstallerFile::Opened InstallerFile::open(const QString& path) {
    const std::wstring staged = native(path);
    if (!fitsMaxPath(staged))
        return failed(Refusal::CannotOpen, ERROR_FILENAME_EXCED_RANGE);
    DWORD error = 0;
    const WinHandle source(openStaged(staged, error));
    if (!source)
        return failed(Refusal::CannotOpen, error);
    LARGE_INTEGER size = {};
    if (!isRegularFile(source.get()) || !GetFileSizeEx(source.get(), &size))
        return failed(Refusal::NotRegularFile, 0);
    const std::wstring temp = native(QDir::tempPath());
    ULARGE_INTEGER free = {};
    const qint64 room = GetDiskFreeSpaceExW(temp.c_str(), &free, nullptr, nullptr)
                            ? static_cast<qint64>(std::min<ULONGLONG>(free.QuadPart, LLONG_MAX))
                            : 0;
    if (std::optional<Opened> refused = installer_copy::refusalForSize(size.QuadPart, room))
        return std::move(*refused);

    // The directory, for the owner alone while the copy is written into it.
    const QString directory = QDir(QDir::tempPath())
                                  .filePath(contract::kUpdaterDirectoryPrefix +
                                            QUuid::createUuid().toString(QUuid::WithoutBraces));
    const std::wstring nativeDirectory = native(directory);
    const std::wstring copyPath =
        nativeDirectory + L"\\" + contract::kInstallerFileName.toStdWString();
    if (!fitsMaxPath(copyPath))
        return failed(Refusal::CopyFailed, ERROR_FILENAME_EXCED_RANGE);
    const QString sid = userSid();
    SecurityDescriptor copying(kCopyingDirectory);
    SecurityDescriptor lockedDirectory(kLockedDirectory.arg(sid));
    SecurityDescriptor lockedFile(kLockedFile.arg(sid));
    if (sid.isEmpty() || !copying.descriptor || !lockedDirectory.descriptor ||
        !lockedFile.descriptor)
        return failed(Refusal::CopyFailed);
    SECURITY_ATTRIBUTES directoryAttributes = copying.attributes();
    if (!CreateDirectoryW(nativeDirectory.c_str(), &directoryAttributes))
        return failed(Refusal::CopyFailed);
    // Held until the installer has run, and claimed: the sweep of another original updater sees
    // it in use, and it can be neither renamed nor removed meanwhile.
    std::unique_ptr<HeldDirectory> held = HeldDirectory::open(directory);
    OwnedHandle claim = HeldDirectory::claim(directory);
    if (!held || !claim) {
        const DWORD cause = GetLastError();
        claim.reset();
        RemoveDirectoryW(nativeDirectory.c_str());
        return failed(Refusal::CopyFailed, cause);
    }
    const auto discard = [&](DWORD cause) {
        claim.reset();
        held->removeRecursively();
        return failed(Refusal::CopyFailed, cause);
    };

    // The copy: created with its final list (its creator gets the write access it asks for), and
    // written while the staged file is held against writers.
    SECURITY_ATTRIBUTES fileAttributes = lockedFile.attributes();
    WinHandle writer(CreateFileW(copyPath.c_str(), GENERIC_WRITE, 0, &fileAttributes, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!writer)
        return discard(GetLastError());
    const installer_copy::CopyResult copied = installer_copy::copyWithDigests(
        [&](char* buffer, qint64 length) -> qint64 {
            DWORD read = 0;
            return ReadFile(source.get(), buffer, static_cast<DWORD>(length), &read, nullptr)
                       ? static_cast<qint64>(read)
                       : -1;
        },
        [&](const char* data, qint64 length) {
            DWORD written = 0;
            return WriteFile(writer.get(), data, static_cast<DWORD>(length), &written, nullptr) &&
                   written == static_cast<DWORD>(length);
        },
        size.QuadPart);
    const DWORD copyError = GetLastError();
    writer.reset();
    if (!copied.complete)
        return discard(copyError);

    // Locked: from now on nobody but an administrator adds anything. What a process of the user
    // put in while the list still let the owner do so makes the copy unusable.
    const WinHandle listChanger(
        CreateFileW(nativeDirectory.c_str(), READ_CONTROL | WRITE_DAC,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!listChanger)
        return discard(GetLastError());
    if (const DWORD locked =
            SetSecurityInfo(listChanger.get(), SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, lockedDirectory.accessList(), nullptr);
        locked != ERROR_SUCCESS)
        return discard(locked);
    if (held->entries() != QStringList{contract::kInstallerFileName})
        return discard(ERROR_ACCESS_DENIED);

    // Held for reading, shared for reading (and so running) only, until the installer has run.
    WinHandle copy(CreateFileW(copyPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    LARGE_INTEGER copySize = {};
    if (!copy || !GetFileSizeEx(copy.get(), &copySize))
        return discard(GetLastError());
    std::unique_ptr<InstallerFile> file(
        new InstallerFile(path, std::move(copy), copySize.QuadPart));
    file->copyPath_ = QString::fromStdWString(copyPath);
    file->copyDirectory_ = std::move(held);
    file->copyClaim_ = std::move(claim);
    file->keepDigests(copied);
    return {std::move(file)};
}

InstallerFile::~InstallerFile() {
    // The installer has run: the copy and its directory go, through the handle that held the
    // directory, so that nothing else of that name can be removed in its place.
    copy_.reset();
    copyClaim_.reset();
    // The installer's working directory was this directory: Windows releases it before the
    // installer's process counts as ended, Wine a moment after, so a removal that finds the
    // directory still in use is tried again for up to 2 s.
    for (int attempt = 0; !copyDirectory_->removeRecursively() && attempt < kRemovalAttempts;
         ++attempt)
        Sleep(kRemovalRetryMs);
}

qint64 InstallerFile::readAt(qint64 offset, char* buffer, qint64 length) const {
    OVERLAPPED position = {};
    position.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    const DWORD wanted = static_cast<DWORD>(std::min<qint64>(length, 0x7FFFFFFF));
    if (!ReadFile(copy_.get(), buffer, wanted, &read, &position))
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return read;
}
