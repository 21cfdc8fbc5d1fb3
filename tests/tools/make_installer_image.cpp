// Writes an installer image (see installer_image.h) whose shell payload is read from a file.

#include "installer_image.h"

#include <QFile>
#include <QSaveFile>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: make-installer-image OUTPUT PAYLOAD_FILE\n"
                   "Writes a PE32+ image that /bin/sh runs as PAYLOAD_FILE's script.\n",
                   stderr);
        return 2;
    }
    QFile payload(QString::fromLocal8Bit(argv[2]));
    const QString output = QString::fromLocal8Bit(argv[1]);
    const QByteArray image =
        payload.open(QIODevice::ReadOnly) ? InstallerImage::build(payload.readAll()) : QByteArray();
    QSaveFile file(output);
    if (image.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(image) != image.size() ||
        !file.commit() ||
        !QFile::setPermissions(output, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        std::fprintf(stderr,
                     "make-installer-image: cannot make %s of %s (a readable text without NUL "
                     "bytes, at most %d bytes)\n",
                     argv[1], argv[2], InstallerImage::kMaximumPayloadSize);
        return 1;
    }
    return 0;
}
