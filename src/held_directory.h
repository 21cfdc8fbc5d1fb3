#pragma once

// A directory held open from the moment it was checked, so that what is later removed in it is
// removed from that very directory, never through a symbolic link or junction that has taken its
// place, and a removal of its tree never follows a link or junction inside it. Used for the
// staging directory's cleanup, the installer's private copy on Windows and the sweep of stale
// temporary updater directories.
//
// POSIX: a descriptor opened with O_DIRECTORY | O_NOFOLLOW; every removal is an unlinkat() relative
// to it. Windows: a handle opened without following a reparse point; every entry is opened
// relative to it, as itself, and removed through its own handle. On both, every look and removal
// first checks that the directory's path still leads to it (same file system and file ID): a
// directory moved away and replaced by a link is left as it is, whatever it holds, and nothing is
// reached through the link (Wine resolves even a handle-relative open through the path).

#include "owned_handle.h"

#include <QString>
#include <QStringList>

#include <memory>

class HeldDirectory {
public:
    // The directory at path, when it is a directory and not a link or junction; null otherwise.
    static std::unique_ptr<HeldDirectory> open(const QString& path);

    // A directory that a process of the updater may still use, opened for removal: null, with
    // inUse set, while someone holds a claim on it (below).
    static std::unique_ptr<HeldDirectory> openUnclaimed(const QString& path, bool& inUse);
    // Claims a directory for as long as the returned handle lives. POSIX: a shared flock(), which
    // the temporary copy inherits from its original; Windows: a handle that denies deletion,
    // held until the copy runs, whose working directory then denies deletion the same way.
    static OwnedHandle claim(const QString& path);

    ~HeldDirectory();
    HeldDirectory(const HeldDirectory&) = delete;
    HeldDirectory& operator=(const HeldDirectory&) = delete;

    const QString& path() const { return path_; }
    // The names of its entries, sorted (links as themselves).
    QStringList entries() const;
    // Whether the directory holds an entry of that name (a link counts as itself).
    bool contains(const QString& name) const;
    // Removes a file, or a link itself, from the directory.
    bool removeFile(const QString& name);
    // Whether anything is at the directory's path (the directory, or what has taken its place).
    bool pathExists() const;
    // Removes the directory itself: only when it is empty and its path still leads to it.
    bool removeIfEmpty();
    // Removes everything in it, never following a link or junction, then the directory itself as
    // removeIfEmpty() does. False when anything is left.
    bool removeRecursively();

private:
    bool stillAtPath() const;
    HeldDirectory(const QString& path, OwnedHandle handle)
        : path_(path), handle_(std::move(handle)) {}

    QString path_;
    OwnedHandle handle_;
};
