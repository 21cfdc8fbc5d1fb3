#pragma once

// Wine runs the Windows build's tests on Linux. Where Wine behaves differently from Windows in a
// way that a test would trip on, the test says so and skips that check, with the reason in the
// test output:
//
//     SKIP_UNDER_WINE("Wine 8.0 has no timeout.exe, so the script does not wait");
//
// On Windows itself and on Linux the macro does nothing.

// True in a Windows process that runs under Wine (its ntdll exports wine_get_version).
bool isRunningUnderWine();

#define SKIP_UNDER_WINE(reason)                                                                    \
    do {                                                                                           \
        if (isRunningUnderWine())                                                                  \
            QSKIP("Under Wine: " reason);                                                          \
    } while (false)
