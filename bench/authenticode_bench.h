#pragma once

#include <QString>

// Times the platform's Authenticode verification of a large signed image, made in
// workDirectory, against another verifier of the same file where the platform has one, and prints
// the table. False when it could not measure.
bool benchAuthenticode(const QString& workDirectory, int rounds);
