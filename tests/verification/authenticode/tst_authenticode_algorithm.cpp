// The verification sequence with a scripted trust request: the guard, the exact lines and their
// order on every path, and the release of the state exactly once.

#include "test_environment.h"
#include "updater.h"
#include "verification/authenticode_trust.h"

#include <QtTest>

namespace {

const QByteArray kSignerDer = QByteArrayLiteral("scripted signer certificate");
const QByteArray kSignerThumbprint =
    QCryptographicHash::hash(kSignerDer, QCryptographicHash::Sha256).toHex().toUpper();

class ScriptedTrust final : public AuthenticodeTrust {
public:
    quint32 verifyResult = 0;
    SignerAccess access = SignerAccess::Available;
    std::optional<QString> subject = QStringLiteral("Scripted Subject");
    std::optional<QString> issuer = QStringLiteral("Scripted Issuer");
    quint32 closeResult = 0;

    int verifyCalls = 0;
    int closeCalls = 0;
    bool usedAfterClose = false;

    quint32 verify(const QString&) override {
        ++verifyCalls;
        return verifyResult;
    }
    SignerAccess locateSignerCertificate() override {
        noteUse();
        return access;
    }
    QByteArray signerCertificateDer() override {
        noteUse();
        return kSignerDer;
    }
    std::optional<QString> signerName(NameOf which) override {
        noteUse();
        return which == NameOf::Subject ? subject : issuer;
    }
    quint32 close() override {
        ++closeCalls;
        return closeResult;
    }

private:
    void noteUse() { usedAfterClose = usedAfterClose || closeCalls > 0; }
};

const QString kStart =
    QStringLiteral("Starting strict Authenticode verification: C:/Temp/installer.exe");
const QString kTrustPassed = QStringLiteral("Windows Authenticode trust verification PASSED.");
const QString kRevocationPassed = QStringLiteral("Certificate revocation checking PASSED.");
const QString kNotPinned =
    QStringLiteral("SECURITY ERROR: installer signer is not the pinned publisher.");
const QString kNotConfigured =
    QStringLiteral("SECURITY ERROR: production certificate thumbprint is not configured.");

QString thumbprintLine() {
    return QStringLiteral("Signer certificate SHA-256 thumbprint: ") +
           QString::fromLatin1(kSignerThumbprint);
}

} // namespace

class TestAuthenticodeAlgorithm : public QObject {
    Q_OBJECT

private slots:
    void guardRefusesMalformedPins_data() {
        QTest::addColumn<QByteArray>("pin");
        const QByteArray good = kSignerThumbprint;
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("63 characters") << good.left(63);
        QTest::newRow("65 characters") << good + "A";
        QTest::newRow("letter G") << good.left(63) + "G";
        QTest::newRow("blank inside") << good.left(31) + " " + good.mid(32);
        QTest::newRow("separators") << good.left(62) + ":0";
        QTest::newRow("lower-case non-hex") << good.left(63) + "z";
    }
    void guardRefusesMalformedPins() {
        QFETCH(QByteArray, pin);
        ScopedTemp temp;
        QVERIFY(temp.isValid());
        ScriptedTrust trust;
        Updater updater;
        QVERIFY(!verifyAuthenticodeWithPin(updater, QStringLiteral("C:/Temp/installer.exe"),
                                           pin.constData(), trust));
        QCOMPARE(temp.logMessages(), QStringList{kNotConfigured});
        QCOMPARE(trust.verifyCalls, 0);
        QCOMPARE(trust.closeCalls, 0);
    }

    void sequences_data() {
        QTest::addColumn<QByteArray>("pin");
        QTest::addColumn<quint32>("verifyResult");
        QTest::addColumn<int>("access");
        QTest::addColumn<bool>("namesAvailable");
        QTest::addColumn<quint32>("closeResult");
        QTest::addColumn<bool>("expected");
        QTest::addColumn<QStringList>("lines");

        const QByteArray pin = kSignerThumbprint;
        const QByteArray other = QByteArray(64, 'A');
        const int available = int(AuthenticodeTrust::SignerAccess::Available);
        const QStringList pinnedTail = {
            thumbprintLine(), QStringLiteral("Certificate thumbprint PIN PASSED."),
            QStringLiteral("Signer certificate subject: Scripted Subject"),
            QStringLiteral("Signer certificate issuer: Scripted Issuer")};
        const QStringList passed = {QStringLiteral("Strict Authenticode verification PASSED."),
                                    QStringLiteral("Certificate identity pinning PASSED.")};

        QTest::newRow("pinned signer")
            << pin << 0u << available << true << 0u << true
            << (QStringList{kStart, kTrustPassed, kRevocationPassed} + pinnedTail + passed);
        QTest::newRow("lower-case pin matches")
            << pin.toLower() << 0u << available << true << 0u << true
            << (QStringList{kStart, kTrustPassed, kRevocationPassed} + pinnedTail + passed);
        QTest::newRow("release fails, pinned still passes")
            << pin << 0u << available << true << 0x57u << true
            << (QStringList{kStart, kTrustPassed, kRevocationPassed} + pinnedTail +
                QStringList{QStringLiteral("Warning: WinVerifyTrust cleanup returned 0x57")} +
                passed);
        QTest::newRow("trust check fails, code with leading zeros")
            << pin << 0x57u << available << true << 0u << false
            << QStringList{kStart, QStringLiteral("WinVerifyTrust FAILED: 0x00000057")};
        QTest::newRow("trust check fails, no signature")
            << pin << 0x800b0100u << available << true << 0x1u << false
            << QStringList{kStart, QStringLiteral("WinVerifyTrust FAILED: 0x800b0100")};
        QTest::newRow("other signer")
            << other << 0u << available << true << 0u << false
            << QStringList{kStart,
                           kTrustPassed,
                           kRevocationPassed,
                           thumbprintLine(),
                           QStringLiteral("SECURITY ERROR: certificate thumbprint PIN FAILED."),
                           QStringLiteral("Expected signer thumbprint: ") +
                               QString::fromLatin1(other),
                           QStringLiteral("Signer certificate subject: Scripted Subject"),
                           QStringLiteral("Signer certificate issuer: Scripted Issuer"),
                           kNotPinned};
        QTest::newRow("name calls fail: no name lines")
            << pin << 0u << available << false << 0u << true
            << (QStringList{kStart, kTrustPassed, kRevocationPassed, thumbprintLine(),
                            QStringLiteral("Certificate thumbprint PIN PASSED.")} +
                passed);
        QTest::newRow("no provider data")
            << pin << 0u << int(AuthenticodeTrust::SignerAccess::NoProviderData) << true << 0x5u
            << false
            << QStringList{kStart,
                           kTrustPassed,
                           kRevocationPassed,
                           QStringLiteral("Could not obtain Authenticode provider data."),
                           QStringLiteral("Warning: WinVerifyTrust cleanup returned 0x5"),
                           kNotPinned};
        QTest::newRow("no signer")
            << pin << 0u << int(AuthenticodeTrust::SignerAccess::NoSigner) << true << 0u << false
            << QStringList{kStart, kTrustPassed, kRevocationPassed,
                           QStringLiteral("Could not obtain Authenticode signer."), kNotPinned};
        QTest::newRow("no signer certificate")
            << pin << 0u << int(AuthenticodeTrust::SignerAccess::NoCertificate) << true << 0u
            << false
            << QStringList{kStart, kTrustPassed, kRevocationPassed,
                           QStringLiteral("Could not obtain signer certificate."), kNotPinned};
    }
    void sequences() {
        QFETCH(QByteArray, pin);
        QFETCH(quint32, verifyResult);
        QFETCH(int, access);
        QFETCH(bool, namesAvailable);
        QFETCH(quint32, closeResult);
        QFETCH(bool, expected);
        QFETCH(QStringList, lines);

        ScopedTemp temp;
        QVERIFY(temp.isValid());
        ScriptedTrust trust;
        trust.verifyResult = verifyResult;
        trust.access = static_cast<AuthenticodeTrust::SignerAccess>(access);
        trust.closeResult = closeResult;
        if (!namesAvailable) {
            trust.subject.reset();
            trust.issuer.reset();
        }
        Updater updater;
        QCOMPARE(verifyAuthenticodeWithPin(updater, QStringLiteral("C:/Temp/installer.exe"),
                                           pin.constData(), trust),
                 expected);
        QCOMPARE(temp.logMessages(), lines);
        QCOMPARE(trust.verifyCalls, 1);
        QCOMPARE(trust.closeCalls, 1);
        QVERIFY(!trust.usedAfterClose);
    }

    void emptyAndPlaceholderNamesAreLoggedAsTheyStand() {
        ScopedTemp temp;
        QVERIFY(temp.isValid());
        ScriptedTrust trust;
        trust.subject = QString();
        trust.issuer = QStringLiteral("Issuer %1 %2");
        Updater updater;
        QVERIFY(verifyAuthenticodeWithPin(updater, QStringLiteral("C:/Temp/installer.exe"),
                                          kSignerThumbprint.constData(), trust));
        const QStringList messages = temp.logMessages();
        QVERIFY(messages.contains(QStringLiteral("Signer certificate subject: ")));
        QVERIFY(messages.contains(QStringLiteral("Signer certificate issuer: Issuer %1 %2")));
    }
};

QTEST_GUILESS_MAIN(TestAuthenticodeAlgorithm)
#include "tst_authenticode_algorithm.moc"
