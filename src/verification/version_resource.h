#pragma once

#include "byte_source.h"

#include <QString>
#include <QtGlobal>

#include <array>

// What an installer says about itself in its Windows version resource (VS_VERSIONINFO), which
// lies inside the bytes that its Authenticode signature covers: the product it belongs to and the
// version it brings.
struct VersionResource {
    QString productName;        // "ProductName" of the first string table; empty if absent
    QString productVersionText; // "ProductVersion" of the same table; empty if absent
    std::array<quint16, 4> productVersion{}; // VS_FIXEDFILEINFO dwProductVersionMS/LS: a.b.c.d
};

enum class VersionResourceStatus {
    Found,
    Absent,    // the image has no resource table, or no RT_VERSION resource in it
    Malformed, // the headers, the resource directories or the version block break the format
};

struct VersionResourceResult {
    VersionResourceStatus status = VersionResourceStatus::Absent;
    VersionResource resource; // empty unless Found
};

// The largest version block read. Its own length field has 16 bits, and real ones take a few
// kilobytes; a resource that claims more is Malformed rather than read into memory.
inline constexpr qint64 kMaximumVersionResourceSize = 64 * 1024;
// The most entries a resource directory may announce (real roots hold a few dozen types).
inline constexpr int kMaximumResourceDirectoryEntries = 4096;

// Reads the version resource of a PE image (PE32 or PE32+): RT_VERSION in the resource table, its
// first name, that name's first language, then VS_VERSIONINFO with its VS_FIXEDFILEINFO and the
// first StringTable of its StringFileInfo. It reads through the source, never the whole image:
// the headers and the section table (at most 64 KiB and 2.5 MiB, and only when the file is that
// long), the directories on the way and the version block (at most kMaximumVersionResourceSize).
// Any bytes give a verdict. A string table cut short, like any length that leaves its parent,
// makes the whole resource Malformed rather than leaving a name empty.
VersionResourceResult readVersionResource(const ByteSource& image);
