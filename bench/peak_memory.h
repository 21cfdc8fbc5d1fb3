#pragma once

#include <QtGlobal>

// The most memory this process has held resident at any moment so far, in bytes.
qint64 peakResidentBytes();
