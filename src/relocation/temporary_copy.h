#pragma once

// Relocation of the original updater into a temporary updater directory under TEMP.

#include <QString>
#include <QStringList>

#include <functional>

namespace relocation {

using LogFunction = std::function<void(const QString&)>;

// The libraries that this build loads from its own directory, in the order they are copied
// (the build setting UPDATER_RUNTIME_LIBRARIES).
QStringList runtimeLibraries();

// The temporary copy's arguments: this process's arguments after the program itself, unchanged
// and in order, followed by "--temporary-copy".
QStringList temporaryCopyArguments(const QStringList& arguments);

// Whether a directory is one that launchTemporaryCopy makes: "Quindlebrookware-Updater-<uuid>"
// directly in TEMP. Only such a directory is ever removed after an update.
bool isTemporaryUpdaterDirectory(const QString& directory);

// Removes the "Quindlebrookware-Updater-<uuid>" directories in TEMP that no updater process
// claims (HeldDirectory::claim), and self-delete scripts old enough to have given up; logs one
// line for each.
void removeStaleCopies(const LogFunction& log);

// Creates "Quindlebrookware-Updater-<uuid>" in TEMP, copies the executable into it under the
// platform's updater name and each library (a file name beside the executable) under its own
// name, in order, and starts the copy detached there with the given arguments. The directory is
// claimed from its creation on, and the copy inherits the claim. Every step and failure is
// logged; after a failure nothing that this call created is left behind.
bool launchTemporaryCopy(const QString& executablePath, const QStringList& libraries,
                         const QStringList& arguments, const LogFunction& log);

} // namespace relocation
