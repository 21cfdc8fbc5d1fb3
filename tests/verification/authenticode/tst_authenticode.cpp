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

#include <QDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString kNotPinned = u"SECURITY ERROR: installer signer is not the pinned publisher."_s;
const QString kNotConfigured =
    u"SECURITY ERROR: production certificate thumbprint is not configured."_s;

QString sha256Upper(const QByteArray& bytes) {
    return sha256Hex(bytes).toUpper();
}

// A file of tests/pki, or one that the build made (given by its absolute path).
QByteArray fixture(const QString& name) {
    return readFileBytes(QDir(testPkiDirectory()).filePath(name));
}

// A committed pin of a TEST certificate: "<name>.thumbprint.txt" or "<name>.keypin.txt".
QString pinOf(const QString& file) {
    return QString::fromLatin1(fixture(file)).trimmed();
}

// Answers as a row says, and counts the checks.
class ScriptedTrust final : public AuthenticodeTrust {
public:
    explicit ScriptedTrust(const TrustVerdict& verdict) : verdict_(verdict) {}
    TrustVerdict check(const InstallerFile&) override {
        ++checks;
        return verdict_;
    }
    int checks = 0;

private:
    TrustVerdict verdict_;
};

const QString kCertificateHash = sha256Upper("certificate");
const QString kKeyHash = sha256Upper("public key");

// A trusted signer as the scripted trust check reports it; {cert} and {key} in a row's lines and
// pins stand for the SHA-256 of its certificate and of its key.
TrustVerdict trustedSigner() {
    TrustVerdict verdict;
    verdict.signer = SignerAccess::Available;
    verdict.certificateDer = "certificate";
    verdict.publicKeyInfoDer = "public key";
    verdict.subject = u"Scripted Subject"_s;
    verdict.issuer = QString();
    return verdict;
}

struct AlgorithmRow {
    QString thumbprints = kCertificateHash; // the pins, as the build settings give them
    QString keys{};
    TrustVerdict verdict = trustedSigner();
    bool passes = false;
    bool checked = true; // false: the pins refuse before any check
    QStringList lines{}; // after the start line
};

QString filled(QString text) {
    return text.replace(u"{cert}"_s, kCertificateHash).replace(u"{key}"_s, kKeyHash);
}

// A row of the verdict table: a file of tests/pki checked by the platform's own trust check, with
// the TEST CRLs served (an unreachable CRL server is an end-to-end row).
struct VerdictRow {
    QString file{};
    // The pins: TEST certificates' names separated by ';', each pinned by its thumbprint, or by
    // its key when written "keys:name".
    QString pins = u"test-publisher"_s;
    // "pass", "pin" (trusted, not pinned), or the code that Windows (and the POSIX verifier)
    // gives.
    QString verdict{};
    // What Wine gives where it is not Windows, with the reason in the row's name.
    std::optional<QString> underWine{};
    // What osslsigncode verify says of the same file with the same root and CRLs (POSIX only),
    // where the row's setting is one that osslsigncode can be given.
    std::optional<bool> osslsigncodePasses{};
};

} // namespace

Q_DECLARE_METATYPE(AlgorithmRow)
Q_DECLARE_METATYPE(VerdictRow)

class AuthenticodeTest : public QObject {
    Q_OBJECT

private slots:
    void algorithm_data();
    void algorithm();
    void verdicts_data();
    void verdicts();
    void revocationStatus();
};

void AuthenticodeTest::algorithm_data() {
    QTest::addColumn<AlgorithmRow>("row");
    const auto add = [](const char* name, const AlgorithmRow& row) { QTest::newRow(name) << row; };
    const QString other = QString(64, u'A');
    const QStringList trusted{u"Windows Authenticode trust verification PASSED."_s,
                              u"Certificate revocation checking PASSED."_s};
    const QString thumbprint = u"Signer certificate SHA-256 thumbprint: {cert}"_s;
    const QStringList names{u"Signer certificate subject: Scripted Subject"_s,
                            u"Signer certificate issuer: "_s};
    const QStringList passed{u"Strict Authenticode verification PASSED."_s,
                             u"Certificate identity pinning PASSED."_s};
    const QString pinPassed = u"Certificate thumbprint PIN PASSED."_s;
    const QString pinFailed = u"SECURITY ERROR: certificate thumbprint PIN FAILED."_s;
    const QString keyLine = u"Signer public key SHA-256: {key}"_s;
    const auto withAccess = [](SignerAccess access) {
        TrustVerdict verdict;
        verdict.signer = access;
        return verdict;
    };

    // The pins are checked first: a malformed set refuses before anything else is done.
    add("no pins", {.thumbprints = QString(), .checked = false});
    add("thumbprint of 63 digits", {.thumbprints = kCertificateHash.left(63), .checked = false});
    add("empty entry", {.thumbprints = kCertificateHash + u";;"_s + other, .checked = false});
    add("key pin with a non-hex digit", {.keys = other.left(63) + u'G', .checked = false});
    add("pinned signer, lower-case pin",
        {.thumbprints = kCertificateHash.toLower(),
         .passes = true,
         .lines = trusted + QStringList{thumbprint, pinPassed} + names + passed});
    // The whole thumbprint decides: one that differs only in its last digit is another signer.
    const QString nearly =
        kCertificateHash.left(63) + (kCertificateHash.endsWith(u'0') ? u'1' : u'0');
    add("other signer, pin differs in its last digit",
        {.thumbprints = nearly,
         .lines = trusted +
                  QStringList{thumbprint, pinFailed, u"Expected signer thumbprint: "_s + nearly} +
                  names + QStringList{kNotPinned}});
    TrustVerdict refused;
    refused.code = 0x00000057;
    add("trust refused: code with leading zeros, nothing more",
        {.verdict = refused, .lines = {u"WinVerifyTrust FAILED: 0x00000057"_s}});
    TrustVerdict releaseFails = trustedSigner();
    releaseFails.subject.reset();
    releaseFails.issuer.reset();
    releaseFails.releaseCode = 0x80092003;
    add("names unavailable, release fails: warning in shortest form, verdict kept",
        {.verdict = releaseFails,
         .passes = true,
         .lines = trusted +
                  QStringList{thumbprint, pinPassed,
                              u"Warning: WinVerifyTrust cleanup returned 0x80092003"_s} +
                  passed});
    add("no provider data",
        {.verdict = withAccess(SignerAccess::NoProviderData),
         .lines =
             trusted + QStringList{u"Could not obtain Authenticode provider data."_s, kNotPinned}});
    add("no signer",
        {.verdict = withAccess(SignerAccess::NoSigner),
         .lines = trusted + QStringList{u"Could not obtain Authenticode signer."_s, kNotPinned}});
    add("no signer certificate",
        {.verdict = withAccess(SignerAccess::NoCertificate),
         .lines = trusted + QStringList{u"Could not obtain signer certificate."_s, kNotPinned}});
    // A pin set: the key hash is logged, the matching pin named, every pin listed on refusal.
    add("second of two thumbprints",
        {.thumbprints = other + u';' + kCertificateHash,
         .passes = true,
         .lines = trusted +
                  QStringList{thumbprint, keyLine, pinPassed,
                              u"Matched pinned certificate thumbprint: {cert}"_s} +
                  names + passed});
    add("renewed certificate, same key",
        {.thumbprints = other,
         .keys = kKeyHash,
         .passes = true,
         .lines = trusted +
                  QStringList{thumbprint, keyLine, u"Certificate public key PIN PASSED."_s,
                              u"Matched pinned public key: {key}"_s} +
                  names + passed});
    add("key pins only, none matching",
        {.thumbprints = QString(),
         .keys = other + u';' + other,
         .lines =
             trusted +
             QStringList{thumbprint, keyLine, pinFailed, u"Expected signer public key: "_s + other,
                         u"Expected signer public key: "_s + other} +
             names + QStringList{kNotPinned}});
}

void AuthenticodeTest::algorithm() {
    QFETCH(AlgorithmRow, row);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const InstallerFile::Opened installer =
        InstallerFile::open(temp.writeFile(u"installer.exe"_s, "MZ"));
    QVERIFY(installer.file);
    const QByteArray thumbprintPins = row.thumbprints.toLatin1();
    const QByteArray keyPins = row.keys.toLatin1();
    ScriptedTrust trust(row.verdict);
    Updater updater;

    QCOMPARE(verifyAuthenticodeWithPins(updater, *installer.file,
                                        {thumbprintPins.constData(), keyPins.constData()}, trust),
             row.passes);

    QCOMPARE(trust.checks, row.checked ? 1 : 0);
    QStringList expected{kNotConfigured};
    if (row.checked) {
        expected =
            QStringList{u"Starting strict Authenticode verification: "_s + installer.file->path()};
        for (const QString& line : row.lines)
            expected << filled(line);
    }
    QCOMPARE(temp.logMessages(), expected);
}

void AuthenticodeTest::verdicts_data() {
    QTest::addColumn<VerdictRow>("row");
    const auto add = [](const char* name, const VerdictRow& row) { QTest::newRow(name) << row; };
    const QString pass = u"pass"_s;
    const QString pin = u"pin"_s;
    const auto code = [](const char* hex) { return QString::fromLatin1(hex); };
    add("SHA-1, PE32",
        {.file = u"test-pinned-sha1-pe32.exe"_s, .verdict = pass, .osslsigncodePasses = true});
    add("RFC 3161 timestamp",
        {.file = u"test-pinned-timestamped.exe"_s, .verdict = pass, .osslsigncodePasses = true});
    add("checksum is not hashed",
        {.file = u"damaged-checksum-changed.exe"_s, .verdict = pass, .osslsigncodePasses = true});
    add("expired, RFC 3161 stamp from when it was valid",
        {.file = u"test-expired-publisher-timestamped.exe"_s,
         .pins = u"test-expired-publisher"_s,
         .verdict = pass,
         .osslsigncodePasses = true});
    add("expired, legacy stamp by an authority expired since",
        {.file = u"test-expired-publisher-legacy-expired-tsa.exe"_s,
         .pins = u"test-expired-publisher"_s,
         .verdict = pass,
         .osslsigncodePasses = true});
    // An installer as publishers make them: NSIS's stub with the installer's data appended,
    // signed by the pinned publisher.
    add("NSIS installer",
        {.file = QStringLiteral(NSIS_INSTALLER), .verdict = pass, .osslsigncodePasses = true});
    add("renewed certificate, same key: passes by its key pin",
        {.file = u"test-renewed-publisher.exe"_s,
         .pins = u"test-other-publisher;keys:test-publisher"_s,
         .verdict = pass,
         .osslsigncodePasses = true});

    add("code byte changed", {.file = u"damaged-code-byte-flipped.exe"_s,
                              .verdict = code("80096010"),
                              .osslsigncodePasses = false});
    add("signature value damaged (Wine: reported as a certificate's signature)",
        {.file = u"damaged-signature-value-flipped.exe"_s,
         .verdict = code("80096010"),
         .underWine = code("80096004"),
         .osslsigncodePasses = false});
    // The image's form is judged before WinVerifyTrust on every platform, so these give the same
    // code everywhere, whether or not Windows has EnableCertPaddingCheck.
    add("bytes after the certificate table",
        {.file = u"damaged-bytes-after-table.exe"_s, .verdict = code("80096010")});
    add("certificate entry grown over zeros",
        {.file = u"damaged-entry-grown-over-zeros.exe"_s, .verdict = code("80096010")});
    add("second certificate entry", {.file = u"damaged-second-certificate-entry.exe"_s,
                                     .verdict = code("80096010"),
                                     .osslsigncodePasses = false});
    add("padding not zero",
        {.file = u"damaged-padding-not-zero.exe"_s, .verdict = code("80096010")});
    add("certificate table cut short", {.file = u"damaged-table-cut-short.exe"_s,
                                        .verdict = code("800b0100"),
                                        .osslsigncodePasses = false});
    add("no MZ",
        {.file = u"damaged-no-mz.exe"_s, .verdict = code("800b0003"), .osslsigncodePasses = false});
    add("PE header beyond the end", {.file = u"damaged-pe-header-beyond-end.exe"_s,
                                     .verdict = code("800b0003"),
                                     .osslsigncodePasses = false});
    add("data directories beyond the optional header",
        {.file = u"damaged-directories-beyond-header.exe"_s, .verdict = code("800b0003")});
    add("new key: refused by thumbprint and key pins",
        {.file = u"test-new-key-publisher.exe"_s,
         .pins = u"test-publisher;keys:test-publisher"_s,
         .verdict = pin,
         .osslsigncodePasses = true});
    // Wine's WinVerifyTrust passes chains that Windows refuses: under Wine only the pin stops
    // these signers (each is another certificate than the pinned one).
    add("expired, no timestamp (Wine: chain not judged)", {.file = u"test-expired-publisher.exe"_s,
                                                           .pins = u"test-expired-publisher"_s,
                                                           .verdict = code("800b0101"),
                                                           .underWine = pass,
                                                           .osslsigncodePasses = false});
    add("untrusted root (Wine: chain not judged)", {.file = u"test-untrusted-root.exe"_s,
                                                    .verdict = code("800b0109"),
                                                    .underWine = pin,
                                                    .osslsigncodePasses = false});
    add("no code-signing usage (Wine: chain not judged)", {.file = u"test-server-only.exe"_s,
                                                           .verdict = code("800b0110"),
                                                           .underWine = pin,
                                                           .osslsigncodePasses = false});
    // Each of these signers is pinned: only the chain policy stops it. Served at the signer's
    // point, a CRL of another scope is no proof of non-revocation (the complete CRL revokes each
    // of these signers). (osslsigncode takes the delta CRL for a complete one.)
    for (const auto& [scope, osslPasses] :
         {std::pair{"delta", true}, std::pair{"ca-only", false}, std::pair{"partition", false},
          std::pair{"critical", false}}) {
        const QString signer = u"test-scope-%1-publisher"_s.arg(QLatin1String(scope));
        const QByteArray name =
            u"CRL of the wrong scope: %1 (Wine: no revocation status)"_s.arg(QLatin1String(scope))
                .toLatin1();
        add(name.constData(), {.file = signer + u".exe"_s,
                               .pins = signer,
                               .verdict = code("80092013"),
                               .underWine = pass,
                               .osslsigncodePasses = osslPasses});
    }
    add("CRL that stopped being current in 2021 (Wine: no revocation status)",
        {.file = u"test-stale-crl-publisher.exe"_s,
         .pins = u"test-stale-crl-publisher"_s,
         .verdict = code("80092013"),
         .underWine = pass,
         .osslsigncodePasses = false});
    add("Lifetime Signing, stamped while valid, expired since (Wine: chain not judged)",
        {.file = u"test-lifetime-publisher.exe"_s,
         .pins = u"test-lifetime-publisher"_s,
         .verdict = code("800b0101"),
         .underWine = pass,
         .osslsigncodePasses = true});
    add("RSA-1024 publisher key (Windows passes; Wine: chain not judged)",
        {.file = u"test-rsa1024-publisher.exe"_s,
         .pins = u"test-rsa1024-publisher"_s,
         .verdict = code("80096004"),
         .underWine = pass,
         .osslsigncodePasses = true});
    add("MD5-signed publisher certificate (Wine: chain not judged)",
        {.file = u"test-md5-publisher.exe"_s,
         .pins = u"test-md5-publisher"_s,
         .verdict = code("80096004"),
         .underWine = pass,
         .osslsigncodePasses = true});
    add("RFC 3161 stamp from before its authority's certificate (Wine: not judged)",
        {.file = u"test-expired-publisher-late-tsa.exe"_s,
         .pins = u"test-expired-publisher"_s,
         .verdict = code("80096005"),
         .underWine = pass,
         .osslsigncodePasses = false});
    add("legacy countersignature damaged (Wine: not judged)",
        {.file = u"test-expired-publisher-legacy-damaged.exe"_s,
         .pins = u"test-expired-publisher"_s,
         .verdict = code("80096005"),
         .underWine = pass,
         .osslsigncodePasses = false});
}

void AuthenticodeTest::verdicts() {
    QFETCH(VerdictRow, row);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QByteArray image = fixture(row.file);
    QVERIFY(!image.isEmpty());
    const QString path = temp.writeFile(u"installer.exe"_s, image);
    const InstallerFile::Opened installer = InstallerFile::open(path);
    QVERIFY(installer.file);
    QStringList thumbprints;
    QStringList keys;
    for (const QString& pin : row.pins.split(u';')) {
        if (pin.startsWith(u"keys:"_s))
            keys << pinOf(pin.mid(5) + u".keypin.txt"_s);
        else
            thumbprints << pinOf(pin + u".thumbprint.txt"_s);
    }
    const QByteArray thumbprintPins = thumbprints.join(u';').toLatin1();
    const QByteArray keyPins = keys.join(u';').toLatin1();
    const CrlServer server(testPkiDirectory());
    QVERIFY(server.isReady());
    const std::unique_ptr<AuthenticodeTrust> trust =
        createPlatformAuthenticodeTrust(builtInTrustAnchors());
    Updater updater;

    const bool passed = verifyAuthenticodeWithPins(
        updater, *installer.file, {thumbprintPins.constData(), keyPins.constData()}, *trust);

    // Under Wine, rows that name a difference expect what Wine gives: said here, never skipped.
    const QString expected =
        isRunningUnderWine() ? row.underWine.value_or(row.verdict) : row.verdict;
    const QStringList lines = temp.logMessages();
    QCOMPARE(passed, expected == u"pass"_s);
    if (expected == u"pass"_s) {
        QCOMPARE(lines.last(), u"Certificate identity pinning PASSED."_s);
    } else if (expected == u"pin"_s) {
        QVERIFY(lines.contains(u"SECURITY ERROR: certificate thumbprint PIN FAILED."_s));
        QCOMPARE(lines.last(), kNotPinned);
    } else {
        QCOMPARE(lines, (QStringList{u"Starting strict Authenticode verification: "_s + path,
                                     u"WinVerifyTrust FAILED: 0x"_s + expected}));
    }

#ifndef Q_OS_WIN
    if (!row.osslsigncodePasses)
        return;
    QByteArray crlsPem;
    for (const char* ca : {"test-root", "test-intermediate", "test-revoked-intermediate"}) {
        const ProgramRun toPem = runProgram(
            u"openssl"_s, {u"crl"_s, u"-inform"_s, u"DER"_s, u"-in"_s,
                           QDir(testPkiDirectory()).filePath(QString::fromLatin1(ca) + u".crl"_s)});
        crlsPem += toPem.standardOutput;
    }
    const QString crlFile = temp.writeFile(u"crls.pem"_s, crlsPem);
    const QString root = QDir(testPkiDirectory()).filePath(u"test-root.pem"_s);
    const ProgramRun theirs = runProgram(
        u"osslsigncode"_s, {u"verify"_s, u"-CAfile"_s, root, u"-CRLfile"_s, crlFile,
                            u"-TSA-CAfile"_s, root, u"-TSA-CRLfile"_s, crlFile, u"-in"_s, path});
    const bool theyPass = theirs.exitCode == 0 && theirs.standardOutput.contains("\nSucceeded");
    QVERIFY2(theyPass == *row.osslsigncodePasses, theirs.standardOutput.right(400).constData());
#endif
}

// Windows: the revocation verdict from the chain's element statuses (leaf first, root last), which
// Wine never reports, so that no row above reaches it there.
void AuthenticodeTest::revocationStatus() {
    using namespace wintrust;
    struct Chain {
        std::vector<quint32> statuses;
        quint32 verdict;
    };
    for (const Chain& row :
         {Chain{{0, 0, 0}, kSuccess}, Chain{{kStatusRevocationUnknown, 0, 0}, kRevocationOffline},
          Chain{{0, kStatusOfflineRevocation | 1, 0}, kRevocationOffline},
          Chain{{0, 0, kStatusRevocationUnknown | kStatusOfflineRevocation}, kSuccess}})
        QCOMPARE(revocationVerdict(row.statuses), row.verdict);
}

QTEST_GUILESS_MAIN(AuthenticodeTest)
#include "tst_authenticode.moc"
