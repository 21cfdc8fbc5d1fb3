#pragma once

#include <QByteArray>

// Installer images for end-to-end runs: a well-formed PE32+ executable (DOS header, PE
// signature, COFF header, optional header with 16 data directories, one code section) that
// signing tools accept, whose DOS header and stub area are also a POSIX shell script.
//
// Started on Linux, the kernel refuses the file (ENOEXEC) and /bin/sh runs it: the first line,
// "MZ", is a command that is not found; the second extracts the payload script from the stub
// area, pipes it to "sh -s --" with the image's arguments and exits with that shell's status. The
// payload therefore runs in the image's working directory with the image's arguments, with $0
// set to "sh" and its standard input being the script itself (it must not read stdin).
//
// Started on Windows, the code section returns nativeExitCode.
//
// Signing appends the certificate table at the end of the file and rewrites the checksum and
// one data directory only, so a signed image still runs the same way.
namespace InstallerImage {

// Largest payload that fits the stub area.
constexpr int kMaximumPayloadSize = 32 * 1024;

// The image bytes; empty when the payload holds a NUL byte or is larger than the maximum.
QByteArray build(const QByteArray& payloadScript, quint32 nativeExitCode = 0);

} // namespace InstallerImage
