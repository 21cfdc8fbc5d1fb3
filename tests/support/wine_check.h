#pragma once

// Wine runs the Windows build's tests on Linux. Where Wine behaves differently from Windows in a
// way that a test would trip on, the test says so, with the reason in the test output, and
// expects what Wine shows. On Windows itself and on Linux this is false.

// True in a Windows process that runs under Wine (its ntdll exports wine_get_version).
bool isRunningUnderWine();
