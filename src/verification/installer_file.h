#pragma once

#include "byte_source.h"
#include "owned_handle.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

class HeldDirectory;
struct PeLayout;
namespace installer_copy {
struct CopyResult;
}

// The installer as the update checks and runs it: a private copy of the staged file, made once at
// the readable check (before the wait for the host) and held until the installer has run. Every
// later stage (the digest, the signature, the product binding, the elevated start) reads that
// copy, never the staged path again, so the bytes that run are the bytes that were checked and
// nothing the user can write reaches them:
//
// - POSIX: a sealed memory file (memfd: F_SEAL_WRITE, F_SEAL_SHRINK, F_SEAL_GROW, F_SEAL_SEAL),
//   which nothing, root included, can change any more.
// - Windows: "installer.exe" in a directory of its own in TEMP whose access list lets the user
//   read, run and delete, but not add a file nor change the list, so that no DLL can be planted
//   beside the elevated installer; the copy is held open, shared for reading only.
//
// The copy's SHA-256 (and, for a PE image, its Authenticode image digest with SHA-256) is taken
// in the same pass over the bytes as the copy itself.
class InstallerFile final : public ByteSource {
public:
    enum class Refusal {
        None,
        CannotOpen,     // the staged file cannot be opened (error says why)
        NotRegularFile, // a directory, a link, a FIFO, a device...
        TooLarge,       // larger than the build's maximum
        NoRoom,         // larger than the room for the private copy (memory, disk)
        CopyFailed,     // reading the staged file or writing the copy failed (error says why)
    };
    struct Opened {
        std::unique_ptr<InstallerFile> file; // set when refusal is None
        Refusal refusal = Refusal::None;
        unsigned long error = 0; // the system's code, for CannotOpen and CopyFailed
        qint64 size = 0;         // the staged file's size, for TooLarge and NoRoom
        qint64 limit = 0;        // the maximum (TooLarge) or the room (NoRoom), in bytes
    };

    // Opens the staged file for reading, without following a link in its last component and
    // without blocking on a FIFO, and makes the private copy.
    static Opened open(const QString& path);

    ~InstallerFile() override;
    InstallerFile(const InstallerFile&) = delete;
    InstallerFile& operator=(const InstallerFile&) = delete;

    // The path that the update was given, unchanged (for the log).
    const QString& path() const { return path_; }
    // The private copy: its handle (a memfd on POSIX, the held file on Windows) and, on Windows,
    // where it lies (empty on POSIX).
    NativeHandle nativeHandle() const { return copy_.get(); }
    const QString& copyPath() const { return copyPath_; }
    // The SHA-256 of the copy, taken while it was made.
    const QByteArray& sha256() const { return sha256_; }

    qint64 size() const override { return size_; }
    qint64 readAt(qint64 offset, char* buffer, qint64 length) const override;
    std::optional<QByteArray> knownImageDigest(const PeLayout& layout,
                                               DigestAlgorithm algorithm) const override;

private:
    struct ImageDigest;
    InstallerFile(const QString& path, OwnedHandle copy, qint64 size);
    void keepDigests(const installer_copy::CopyResult& copied);

    QString path_;
    OwnedHandle copy_;
    qint64 size_ = 0;
    QString copyPath_;                             // Windows
    std::unique_ptr<HeldDirectory> copyDirectory_; // Windows: held until the installer has run,
    OwnedHandle copyClaim_;                        // and claimed (HeldDirectory::claim)
    QByteArray sha256_;
    std::unique_ptr<ImageDigest> imageDigest_;
};
