// The POSIX Authenticode verifier against osslsigncode verify on one signed image of 256 MiB and a
// few KiB: the overlay makes the image digest the bulk of the work, as in a real installer. The
// image is signed by the TEST publisher of tests/pki and its CRLs are served on 127.0.0.1 as in
// the tests, so the run belongs in a private network namespace (scripts/bench-verification.sh).

#include "authenticode_bench.h"
#include "crl_server.h"
#include "generated_file.h"
#include "measurement.h"
#include "verification/authenticode_trust.h"
#include "verification/installer_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <memory>

namespace {

constexpr qint64 kOverlayBytes = 256 * 1048576;

QString pkiFile(const QString& name) {
    return QDir(testPkiDirectory()).filePath(name);
}

bool writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

QByteArray readBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// An installer image with the overlay appended, signed by the TEST publisher with its chain.
bool makeSignedImage(const QString& directory, const QString& signedPath) {
    if (QFileInfo::exists(signedPath))
        return true;
    const QString unsignedPath = directory + QStringLiteral("/unsigned.exe");
    const QString chain = directory + QStringLiteral("/chain.pem");
    if (!writeBytes(chain, readBytes(pkiFile(QStringLiteral("test-publisher.pem"))) +
                               readBytes(pkiFile(QStringLiteral("test-intermediate.pem")))) ||
        !writeGeneratedFile(unsignedPath, kOverlayBytes,
                            readBytes(pkiFile(QStringLiteral("test-unsigned-pe32plus.exe"))))) {
        std::fprintf(stderr, "cannot write the unsigned image in %s\n", qPrintable(directory));
        return false;
    }
    const ToolRun signing =
        runTool(QStringLiteral("osslsigncode"),
                {QStringLiteral("sign"), QStringLiteral("-certs"), chain, QStringLiteral("-key"),
                 pkiFile(QStringLiteral("test-publisher.key.pem")), QStringLiteral("-h"),
                 QStringLiteral("sha256"), QStringLiteral("-in"), unsignedPath,
                 QStringLiteral("-out"), signedPath});
    QFile::remove(unsignedPath);
    if (!signing.succeeded) {
        std::fprintf(stderr, "osslsigncode sign failed: %s\n", signing.output.constData());
        QFile::remove(signedPath);
    }
    return signing.succeeded;
}

// The CRLs of the root and of the code-signing CA in one PEM file, which osslsigncode takes.
bool writeCrlFile(const QString& path) {
    QByteArray pem;
    for (const QString& crl :
         {QStringLiteral("test-root.crl"), QStringLiteral("test-intermediate.crl")}) {
        const ToolRun toPem = runTool(QStringLiteral("openssl"),
                                      {QStringLiteral("crl"), QStringLiteral("-inform"),
                                       QStringLiteral("DER"), QStringLiteral("-in"), pkiFile(crl)});
        if (!toPem.succeeded) {
            std::fprintf(stderr, "openssl crl failed: %s\n", toPem.output.constData());
            return false;
        }
        pem += toPem.output;
    }
    return writeBytes(path, pem);
}

} // namespace

bool benchAuthenticode(const QString& workDirectory, int rounds) {
    const QString image = workDirectory + QStringLiteral("/signed-256MiB.exe");
    const QString crls = workDirectory + QStringLiteral("/crls.pem");
    if (!makeSignedImage(workDirectory, image) || !writeCrlFile(crls))
        return false;
    const CrlServer server(testPkiDirectory());
    if (!server.isReady()) {
        std::fprintf(stderr,
                     "cannot serve the TEST CRLs on 127.0.0.1:%d; run the benchmark in a network "
                     "namespace of its own (unshare -n) with lo up\n",
                     CrlServer::kDefaultPort);
        return false;
    }
    readThrough(image);

    const QString root = pkiFile(QStringLiteral("test-root.pem"));
    Timing open, verify, theirs;
    for (int round = 0; round < rounds; ++round) {
        {
            std::unique_ptr<InstallerFile> file;
            const Timing opened = measure([&] { file = InstallerFile::open(image).file; });
            quint32 code = 1;
            const Timing verified = measure([&] {
                const std::unique_ptr<AuthenticodeTrust> trust =
                    createPlatformAuthenticodeTrust(builtInTrustAnchors());
                code = file ? trust->check(*file).code : 1;
            });
            if (code != 0) {
                std::fprintf(stderr, "the verifier refused %s: 0x%x\n", qPrintable(image), code);
                return false;
            }
            if (round == 0 || (opened + verified).wallSeconds < (open + verify).wallSeconds) {
                open = opened;
                verify = verified;
            }
        }
        const ToolRun run =
            runTool(QStringLiteral("osslsigncode"),
                    {QStringLiteral("verify"), QStringLiteral("-CAfile"), root,
                     QStringLiteral("-CRLfile"), crls, QStringLiteral("-in"), image});
        if (!run.succeeded || !run.output.contains("\nSucceeded")) {
            std::fprintf(stderr, "osslsigncode verify failed: %s\n", run.output.constData());
            return false;
        }
        theirs = Timing::best(theirs, run.timing);
    }

    const qint64 size = QFileInfo(image).size();
    printTableHeader(QStringLiteral("Authenticode verification of a signed image of %1 bytes "
                                    "(image digest, signature, chain, CRLs from 127.0.0.1)")
                         .arg(size),
                     QStringLiteral("osslsigncode"));
    printTableRow(QStringLiteral("InstallerFile::open"), open, size, 0);
    printTableRow(QStringLiteral("AuthenticodeTrust::verify"), verify, size, theirs.wallSeconds);
    printTableRow(QStringLiteral("open + verify"), open + verify, size, theirs.wallSeconds);
    printTableRow(QStringLiteral("osslsigncode verify"), theirs, size, theirs.wallSeconds);
    return true;
}
