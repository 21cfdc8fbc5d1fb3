// The signature check. The algorithm (lines, order, pins, verdict) with scripted trust answers,
// including the answers no real file gives; and the verdict table: the platform's own trust check
// (the OpenSSL verifier on POSIX, WinVerifyTrust on Windows) on the committed TEST PKI, damaged
// copies of it and hostile certificate tables, each row with the code that Windows gives, what
// Wine gives where it differs, and on POSIX what osslsigncode verify says of the same file.

#include "crl_server.h"
#include "program_run.h"
#include "test_environment.h"
#include "updater.h"
#include "verification/authenticode_trust.h"
#include "verification/installer_file.h"
#include "verification/wintrust_codes.h"
#include "wine_check.h"

#include <QCryptographicHash>
#include <QDir>
#include <QStandardPaths>
#include <QTest>

namespace {

const QString kNotPinned =
    QStringLiteral("SECURITY ERROR: installer signer is not the pinned publisher.");
const QString kNotConfigured =
    QStringLiteral("SECURITY ERROR: production certificate thumbprint is not configured.");

QString sha256Upper(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex())
        .toUpper();
}

QByteArray fixture(const QString& name) {
    return readFileBytes(QDir(testPkiDirectory()).filePath(name));
}

// A committed pin of a TEST certificate: "<name>.thumbprint.txt" or "<name>.keypin.txt".
QString pinOf(const QString& file) {
    return QString::fromLatin1(fixture(file)).trimmed();
}

// Answers as a row says, and records what the algorithm asked.
class ScriptedTrust final : public AuthenticodeTrust {
public:
    quint32 verdict = 0;
    SignerAccess access = SignerAccess::Available;
    bool namesFail = false;
    quint32 release = 0;
    int closes = 0;

    quint32 verify(const InstallerFile&) override { return verdict; }
    SignerAccess locateSignerCertificate() override { return access; }
    QByteArray signerCertificateDer() override { return "certificate"; }
    QByteArray signerPublicKeyInfoDer() override { return "public key"; }
    std::optional<QString> signerName(NameOf which) override {
        if (namesFail)
            return std::nullopt;
        return which == NameOf::Subject ? QStringLiteral("Scripted Subject") : QString();
    }
    quint32 close() override {
        ++closes;
        return release;
    }
};

} // namespace

class AuthenticodeTest : public QObject {
    Q_OBJECT

private slots:
    void algorithm_data();
    void algorithm();
    void verdicts_data();
    void verdicts();
    void revocationStatus_data();
    void revocationStatus();
};

void AuthenticodeTest::algorithm_data() {
    QTest::addColumn<QString>("thumbprints");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<quint32>("verdict");
    QTest::addColumn<int>("access");
    QTest::addColumn<bool>("namesFail");
    QTest::addColumn<quint32>("release");
    QTest::addColumn<bool>("expected");
    // After the start line unless noted; {cert} and {key} are the scripted signer's hashes.
    QTest::addColumn<QStringList>("lines");

    const QString cert = sha256Upper("certificate");
    const QString other = QString(64, QLatin1Char('A'));
    const int available = int(AuthenticodeTrust::SignerAccess::Available);
    const QString trusted = QStringLiteral("Windows Authenticode trust verification PASSED.");
    const QString revocation = QStringLiteral("Certificate revocation checking PASSED.");
    const QString thumbprint = QStringLiteral("Signer certificate SHA-256 thumbprint: {cert}");
    const QStringList names{QStringLiteral("Signer certificate subject: Scripted Subject"),
                            QStringLiteral("Signer certificate issuer: ")};
    const QStringList passed{QStringLiteral("Strict Authenticode verification PASSED."),
                             QStringLiteral("Certificate identity pinning PASSED.")};
    const QString pinPassed = QStringLiteral("Certificate thumbprint PIN PASSED.");
    const QString pinFailed = QStringLiteral("SECURITY ERROR: certificate thumbprint PIN FAILED.");

    const auto row = [&](const char* name, const QString& thumbprints, const QString& keys,
                         quint32 verdict, int access, bool namesFail, quint32 release,
                         bool expected, const QStringList& lines) {
        QTest::newRow(name) << thumbprints << keys << verdict << access << namesFail << release
                            << expected << lines;
    };
    // The pins are checked first: a malformed set refuses before anything else is done.
    for (const auto& [name, pins, keys] :
         {std::tuple{"no pins", QString(), QString()},
          std::tuple{"thumbprint of 63 digits", cert.left(63), QString()},
          std::tuple{"empty entry", cert + QStringLiteral(";;") + other, QString()},
          std::tuple{"key pin with a non-hex digit", cert, cert.left(63) + QLatin1Char('G')}})
        row(name, pins, keys, 0, available, false, 0, false, {QStringLiteral("(no start)")});
    row("pinned signer, lower-case pin", cert.toLower(), QString(), 0, available, false, 0, true,
        QStringList{trusted, revocation, thumbprint, pinPassed} + names + passed);
    // The whole thumbprint decides: one that differs only in its last digit is another signer.
    const QString nearly = cert.left(63) + (cert.endsWith(QLatin1Char('0')) ? u'1' : u'0');
    row("other signer, pin differs in its last digit", nearly, QString(), 0, available, false, 0,
        false,
        QStringList{trusted, revocation, thumbprint, pinFailed,
                    QStringLiteral("Expected signer thumbprint: ") + nearly} +
            names + QStringList{kNotPinned});
    row("trust refused: code with leading zeros, released, nothing more", cert, QString(),
        0x00000057, available, false, 0, false,
        {QStringLiteral("WinVerifyTrust FAILED: 0x00000057")});
    row("release fails: warning in shortest form, verdict kept", cert, QString(), 0, available,
        true, 0x80092003, true,
        QStringList{trusted, revocation, thumbprint, pinPassed,
                    QStringLiteral("Warning: WinVerifyTrust cleanup returned 0x80092003")} +
            passed);
    row("no provider data", cert, QString(), 0,
        int(AuthenticodeTrust::SignerAccess::NoProviderData), false, 0, false,
        {trusted, revocation, QStringLiteral("Could not obtain Authenticode provider data."),
         kNotPinned});
    row("no signer", cert, QString(), 0, int(AuthenticodeTrust::SignerAccess::NoSigner), false, 0,
        false,
        {trusted, revocation, QStringLiteral("Could not obtain Authenticode signer."), kNotPinned});
    row("no signer certificate", cert, QString(), 0,
        int(AuthenticodeTrust::SignerAccess::NoCertificate), false, 0, false,
        {trusted, revocation, QStringLiteral("Could not obtain signer certificate."), kNotPinned});
    // A pin set: the key hash is logged, the matching pin named, every pin listed on refusal.
    const QString keyLine = QStringLiteral("Signer public key SHA-256: {key}");
    row("second of two thumbprints", other + QLatin1Char(';') + cert, QString(), 0, available,
        false, 0, true,
        QStringList{trusted, revocation, thumbprint, keyLine, pinPassed,
                    QStringLiteral("Matched pinned certificate thumbprint: {cert}")} +
            names + passed);
    row("renewed certificate, same key", other, QStringLiteral("{key}"), 0, available, false, 0,
        true,
        QStringList{trusted, revocation, thumbprint, keyLine,
                    QStringLiteral("Certificate public key PIN PASSED."),
                    QStringLiteral("Matched pinned public key: {key}")} +
            names + passed);
    row("key pins only, none matching", QString(), other + QLatin1Char(';') + other, 0, available,
        false, 0, false,
        QStringList{trusted, revocation, thumbprint, keyLine, pinFailed,
                    QStringLiteral("Expected signer public key: ") + other,
                    QStringLiteral("Expected signer public key: ") + other} +
            names + QStringList{kNotPinned});
}

void AuthenticodeTest::algorithm() {
    QFETCH(QString, thumbprints);
    QFETCH(QString, keys);
    QFETCH(quint32, verdict);
    QFETCH(int, access);
    QFETCH(bool, namesFail);
    QFETCH(quint32, release);
    QFETCH(bool, expected);
    QFETCH(QStringList, lines);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const std::unique_ptr<InstallerFile> installer =
        InstallerFile::open(temp.writeFile(QStringLiteral("installer.exe"), "MZ"));
    QVERIFY(installer);
    const QString key = sha256Upper("public key");
    const QByteArray thumbprintPins = thumbprints.toLatin1();
    const QByteArray keyPins = QString(keys).replace(QStringLiteral("{key}"), key).toLatin1();
    ScriptedTrust trust;
    trust.verdict = verdict;
    trust.access = static_cast<AuthenticodeTrust::SignerAccess>(access);
    trust.namesFail = namesFail;
    trust.release = release;
    Updater updater;

    QCOMPARE(verifyAuthenticodeWithPins(updater, *installer,
                                        {thumbprintPins.constData(), keyPins.constData()}, trust),
             expected);

    if (lines == QStringList{QStringLiteral("(no start)")}) {
        QCOMPARE(temp.logMessages(), QStringList{kNotConfigured});
        QCOMPARE(trust.closes, 0);
        return;
    }
    lines.replaceInStrings(QStringLiteral("{cert}"), sha256Upper("certificate"))
        .replaceInStrings(QStringLiteral("{key}"), key);
    QCOMPARE(temp.logMessages(),
             QStringList{QStringLiteral("Starting strict Authenticode verification: ") +
                         installer->path()} +
                 lines);
    QCOMPARE(trust.closes, 1); // released exactly once on every path after the check
}

void AuthenticodeTest::verdicts_data() {
    QTest::addColumn<QString>("file"); // of tests/pki: the TEST PKI's images and damaged copies
    QTest::addColumn<bool>("crls");
    // Which pins the check runs with: TEST certificates' names separated by ';', each pinned by
    // its thumbprint, or by its key when written "keys:name".
    QTest::addColumn<QString>("pins");
    // "pass", or the code that Windows (and the POSIX verifier) gives.
    QTest::addColumn<QString>("verdict");
    // What Wine gives where it is not Windows, with the reason in the row's name; else empty.
    QTest::addColumn<QString>("wine");
    // What osslsigncode verify says of the same file with the same root and CRLs (POSIX only):
    // "pass", "fail", or empty where the row's setting is not one osslsigncode can be given.
    QTest::addColumn<QString>("osslsigncode");

    const QString pub = QStringLiteral("test-publisher");
    const auto row = [](const char* name, const char* file, bool crls, const QString& pins,
                        const char* verdict, const char* wine, const char* ossl) {
        QTest::newRow(name) << QString::fromLatin1(file) << crls << pins
                            << QString::fromLatin1(verdict) << QString::fromLatin1(wine)
                            << QString::fromLatin1(ossl);
    };
    row("SHA-256, PE32+", "test-pinned-sha256.exe", true, pub, "pass", "", "pass");
    row("SHA-1, PE32", "test-pinned-sha1-pe32.exe", true, pub, "pass", "", "pass");
    row("RFC 3161 timestamp", "test-pinned-timestamped.exe", true, pub, "pass", "", "pass");
    row("checksum is not hashed", "damaged-checksum-changed.exe", true, pub, "pass", "", "pass");
    row("expired, RFC 3161 stamp from when it was valid", "test-expired-publisher-timestamped.exe",
        true, QStringLiteral("test-expired-publisher"), "pass", "", "pass");
    row("expired, legacy stamp by an authority expired since",
        "test-expired-publisher-legacy-expired-tsa.exe", true,
        QStringLiteral("test-expired-publisher"), "pass", "", "pass");
    row("second pinned thumbprint", "test-pinned-sha256.exe", true,
        QStringLiteral("test-other-publisher;test-publisher"), "pass", "", "");
    row("renewed certificate, same key: passes by its key pin", "test-renewed-publisher.exe", true,
        QStringLiteral("test-other-publisher;keys:test-publisher"), "pass", "", "pass");

    row("unsigned", "test-unsigned-pe32plus.exe", true, pub, "800b0100", "", "fail");
    row("not a PE file", "test-root.pem", true, pub, "800b0003", "", "fail");
    row("code byte changed", "damaged-code-byte-flipped.exe", true, pub, "80096010", "", "fail");
    row("signature value damaged (Wine: reported as a certificate's signature)",
        "damaged-signature-value-flipped.exe", true, pub, "80096010", "80096004", "fail");
    row("bytes after the certificate table (Wine: finds no signature)",
        "damaged-bytes-after-table.exe", true, pub, "80096010", "800b0100", "");
    // Windows refuses these three with the hardened padding check (EnableCertPaddingCheck).
    row("certificate entry grown over zeros (Wine: no padding check)",
        "damaged-entry-grown-over-zeros.exe", true, pub, "80096010", "pass", "");
    row("second certificate entry (Wine: no padding check)", "damaged-second-certificate-entry.exe",
        true, pub, "80096010", "pass", "fail");
    row("padding not zero (Wine: no padding check)", "damaged-padding-not-zero.exe", true, pub,
        "80096010", "pass", "");
    row("certificate table cut short (Wine: a buffer error)", "damaged-table-cut-short.exe", true,
        pub, "800b0100", "0000007a", "fail");
    row("no MZ", "damaged-no-mz.exe", true, pub, "800b0003", "", "fail");
    row("PE header beyond the end (Wine: finds no signature)", "damaged-pe-header-beyond-end.exe",
        true, pub, "800b0003", "800b0100", "fail");
    row("data directories beyond the optional header (Wine: hashes what it finds)",
        "damaged-directories-beyond-header.exe", true, pub, "800b0003", "80096010", "");
    row("other publisher: trusted, not pinned", "test-other-publisher.exe", true, pub, "pin", "",
        "pass");
    row("new key: refused by thumbprint and key pins", "test-new-key-publisher.exe", true,
        QStringLiteral("test-publisher;keys:test-publisher"), "pin", "", "pass");
    // Wine's WinVerifyTrust passes chains that Windows refuses: under Wine only the pin stops
    // these signers (each is another certificate than the pinned one).
    row("revoked publisher (Wine: chain not judged)", "test-revoked-publisher.exe", true, pub,
        "800b010c", "pin", "fail");
    row("revoked intermediate (Wine: chain not judged)", "test-under-revoked-ca.exe", true, pub,
        "800b010c", "pin", "pass");
    row("expired, no timestamp (Wine: chain not judged)", "test-expired-publisher.exe", true,
        QStringLiteral("test-expired-publisher"), "800b0101", "pass", "fail");
    row("untrusted root (Wine: chain not judged)", "test-untrusted-root.exe", true, pub, "800b0109",
        "pin", "fail");
    row("no code-signing usage (Wine: chain not judged)", "test-server-only.exe", true, pub,
        "800b0110", "pin", "fail");
    row("CRL server unreachable (Wine: no revocation status)", "test-pinned-sha256.exe", false, pub,
        "80092013", "pass", "");
    // Each of these signers is pinned: only the chain policy stops it.
    // Served at the signer's point, a CRL of another scope is no proof of non-revocation (the
    // complete CRL revokes each of these signers).
    // (osslsigncode takes the delta CRL for a complete one.)
    for (const auto& [scope, ossl] :
         {std::pair{"delta", "pass"}, std::pair{"ca-only", "fail"}, std::pair{"partition", "fail"},
          std::pair{"critical", "fail"}}) {
        const QString signer = QStringLiteral("test-scope-%1-publisher").arg(QLatin1String(scope));
        const QByteArray name =
            QStringLiteral("CRL of the wrong scope: %1 (Wine: no revocation status)")
                .arg(QLatin1String(scope))
                .toLatin1();
        row(name.constData(), qPrintable(signer + QStringLiteral(".exe")), true, signer, "80092013",
            "pass", ossl);
    }
    row("CRL that stopped being current in 2021 (Wine: no revocation status)",
        "test-stale-crl-publisher.exe", true, QStringLiteral("test-stale-crl-publisher"),
        "80092013", "pass", "fail");
    row("Lifetime Signing, stamped while valid, expired since (Wine: chain not judged)",
        "test-lifetime-publisher.exe", true, QStringLiteral("test-lifetime-publisher"), "800b0101",
        "pass", "pass");
    row("RSA-1024 publisher key (Windows passes; Wine: chain not judged)",
        "test-rsa1024-publisher.exe", true, QStringLiteral("test-rsa1024-publisher"), "80096004",
        "pass", "pass");
    row("MD5-signed publisher certificate (Wine: chain not judged)", "test-md5-publisher.exe", true,
        QStringLiteral("test-md5-publisher"), "80096004", "pass", "pass");
    row("RFC 3161 stamp from before its authority's certificate (Wine: not judged)",
        "test-expired-publisher-late-tsa.exe", true, QStringLiteral("test-expired-publisher"),
        "80096005", "pass", "fail");
    row("legacy countersignature damaged (Wine: not judged)",
        "test-expired-publisher-legacy-damaged.exe", true, QStringLiteral("test-expired-publisher"),
        "80096005", "pass", "fail");
}

void AuthenticodeTest::verdicts() {
    QFETCH(QString, file);
    QFETCH(bool, crls);
    QFETCH(QString, pins);
    QFETCH(QString, verdict);
    QFETCH(QString, wine);
    QFETCH(QString, osslsigncode);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QByteArray image = fixture(file);
    QVERIFY(!image.isEmpty());
    const QString path = temp.writeFile(QStringLiteral("installer.exe"), image);
    const std::unique_ptr<InstallerFile> installer = InstallerFile::open(path);
    QVERIFY(installer);
    QStringList thumbprints;
    QStringList keys;
    for (const QString& pin : pins.split(QLatin1Char(';'))) {
        if (pin.startsWith(QLatin1String("keys:")))
            keys << pinOf(pin.mid(5) + QStringLiteral(".keypin.txt"));
        else
            thumbprints << pinOf(pin + QStringLiteral(".thumbprint.txt"));
    }
    const QByteArray thumbprintPins = thumbprints.join(QLatin1Char(';')).toLatin1();
    const QByteArray keyPins = keys.join(QLatin1Char(';')).toLatin1();
    std::unique_ptr<CrlServer> server;
    if (crls) {
        server = std::make_unique<CrlServer>(testPkiDirectory());
        QVERIFY(server->isReady());
    }
    const std::unique_ptr<AuthenticodeTrust> trust =
        createPlatformAuthenticodeTrust(builtInTrustAnchors());
    Updater updater;

    const bool passed = verifyAuthenticodeWithPins(
        updater, *installer, {thumbprintPins.constData(), keyPins.constData()}, *trust);

    // Under Wine, rows that name a difference expect what Wine gives: said here, never skipped.
    const QString expected = isRunningUnderWine() && !wine.isEmpty() ? wine : verdict;
    const QStringList lines = temp.logMessages();
    QCOMPARE(passed, expected == QLatin1String("pass"));
    if (expected == QLatin1String("pass")) {
        QCOMPARE(lines.last(), QStringLiteral("Certificate identity pinning PASSED."));
    } else if (expected == QLatin1String("pin")) {
        QVERIFY(
            lines.contains(QStringLiteral("SECURITY ERROR: certificate thumbprint PIN FAILED.")));
        QCOMPARE(lines.last(), kNotPinned);
    } else {
        QCOMPARE(lines,
                 (QStringList{QStringLiteral("Starting strict Authenticode verification: ") + path,
                              QStringLiteral("WinVerifyTrust FAILED: 0x") + expected}));
    }

#ifndef Q_OS_WIN
    if (osslsigncode.isEmpty())
        return;
    QByteArray crlsPem;
    for (const char* ca : {"test-root", "test-intermediate", "test-revoked-intermediate"}) {
        const ProgramRun toPem = runProgram(
            QStringLiteral("openssl"),
            {QStringLiteral("crl"), QStringLiteral("-inform"), QStringLiteral("DER"),
             QStringLiteral("-in"),
             QDir(testPkiDirectory()).filePath(QString::fromLatin1(ca) + QStringLiteral(".crl"))});
        crlsPem += toPem.standardOutput;
    }
    const QString crlFile = temp.writeFile(QStringLiteral("crls.pem"), crlsPem);
    const QString root = QDir(testPkiDirectory()).filePath(QStringLiteral("test-root.pem"));
    const ProgramRun theirs =
        runProgram(QStringLiteral("osslsigncode"),
                   {QStringLiteral("verify"), QStringLiteral("-CAfile"), root,
                    QStringLiteral("-CRLfile"), crlFile, QStringLiteral("-TSA-CAfile"), root,
                    QStringLiteral("-TSA-CRLfile"), crlFile, QStringLiteral("-in"), path});
    const bool theyPass = theirs.exitCode == 0 && theirs.standardOutput.contains("\nSucceeded");
    QVERIFY2(theyPass == (osslsigncode == QLatin1String("pass")),
             theirs.standardOutput.right(400).constData());
#endif
}

// Windows: the revocation verdict from the chain's element statuses (leaf first, root last), which
// Wine never reports, so that no row above reaches it there.
void AuthenticodeTest::revocationStatus_data() {
    QTest::addColumn<std::vector<quint32>>("statuses");
    QTest::addColumn<quint32>("verdict");
    using namespace wintrust;
    QTest::newRow("all known") << std::vector<quint32>{0, 0, 0} << kSuccess;
    QTest::newRow("leaf unknown") << std::vector<quint32>{kStatusRevocationUnknown, 0, 0}
                                  << kRevocationOffline;
    QTest::newRow("CA offline") << std::vector<quint32>{0, kStatusOfflineRevocation | 1, 0}
                                << kRevocationOffline;
    QTest::newRow("only the root unknown")
        << std::vector<quint32>{0, 0, kStatusRevocationUnknown | kStatusOfflineRevocation}
        << kSuccess;
}

void AuthenticodeTest::revocationStatus() {
    QFETCH(std::vector<quint32>, statuses);
    QFETCH(quint32, verdict);
    QCOMPARE(wintrust::revocationVerdict(statuses), verdict);
}

QTEST_GUILESS_MAIN(AuthenticodeTest)
#include "tst_authenticode.moc"
