// Writes an installer image (see installer_image.h) whose shell payload is read from a file, or
// from standard input when the file is "-".

#include "installer_image.h"

#include <QFile>

#include <cstdio>

namespace {

int usage() {
    std::fputs("usage: make-installer-image OUTPUT PAYLOAD_FILE|- [NATIVE_EXIT_CODE]\n"
               "Writes a PE32+ image that /bin/sh runs as PAYLOAD_FILE's script and that\n"
               "returns NATIVE_EXIT_CODE (default 0) when Windows starts it.\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4)
        return usage();
    quint32 nativeExitCode = 0;
    if (argc == 4) {
        bool ok = false;
        nativeExitCode = QByteArray(argv[3]).toUInt(&ok);
        if (!ok)
            return usage();
    }

    QFile payload;
    const QByteArray payloadName(argv[2]);
    const bool opened = payloadName == "-"
                            ? payload.open(stdin, QIODevice::ReadOnly)
                            : (payload.setFileName(QString::fromLocal8Bit(payloadName)),
                               payload.open(QIODevice::ReadOnly));
    if (!opened) {
        std::fprintf(stderr, "make-installer-image: cannot read %s\n", argv[2]);
        return 1;
    }
    const QByteArray script = payload.readAll();
    if (script.size() > InstallerImage::kMaximumPayloadSize || script.contains('\0')) {
        std::fprintf(stderr,
                     "make-installer-image: the payload must be text without NUL bytes, "
                     "at most %d bytes\n",
                     InstallerImage::kMaximumPayloadSize);
        return 1;
    }
    if (!InstallerImage::write(QString::fromLocal8Bit(argv[1]), script, nativeExitCode)) {
        std::fprintf(stderr, "make-installer-image: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
