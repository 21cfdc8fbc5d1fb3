// The error text that failure lines embed after a failed system call.

#include "process_platform.h"

namespace process_control {

QString errorMessageText(ErrorCode code, QString (*systemText)(ErrorCode)) {
    if (code == 0)
        return QStringLiteral("ERROR_SUCCESS");
    // System texts end with a line break; only the ends are trimmed, never the inside.
    QString text = systemText(code).trimmed();
    if (text.isEmpty())
        text = QStringLiteral("Unknown Windows error");
    // Both markers are replaced in one pass, so a "%1" inside the system text stays literal and
    // the code stands once, at the end.
    return QStringLiteral("%1 (%2)").arg(text, QString::number(code));
}

} // namespace process_control
