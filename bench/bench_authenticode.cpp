// Benchmarks (figures printed, nothing asserted on speed): the Authenticode image digest of a
// large image, and a whole POSIX verification of a signed fixture with its CRLs served locally.

#include "authenticode_fixtures.h"
#include "verification/authenticode_trust.h"
#include "verification/pe_image.h"

#include <QtTest>

class BenchAuthenticode : public QObject {
    Q_OBJECT

private slots:
    void imageDigestOf64MiB() {
        QByteArray image = readFixture(QStringLiteral("test-unsigned-pe32plus.exe"));
        image.append(QByteArray(64 * 1024 * 1024, '\x90')); // overlay data, hashed like the rest
        const std::optional<PeLayout> layout = parsePeLayout(image);
        QVERIFY(layout.has_value());
        QByteArray digest;
        QBENCHMARK {
            digest = authenticodeImageDigest(image, *layout, QCryptographicHash::Sha256);
        }
        QCOMPARE(digest.size(), 32);
    }

    void wholeVerification() {
        ScopedTemp temp;
        QVERIFY(temp.isValid());
        const QString path = copyFixture(temp, QStringLiteral("test-pinned-timestamped.exe"));
        CrlServer server(testPkiDirectory());
        QVERIFY(server.isListening());
        quint32 code = 1;
        QBENCHMARK {
            const std::unique_ptr<AuthenticodeTrust> trust =
                createPlatformAuthenticodeTrust(builtInTrustAnchors());
            code = trust->verify(path);
            trust->close();
        }
        QCOMPARE(code, 0u);
    }
};

QTEST_GUILESS_MAIN(BenchAuthenticode)
#include "bench_authenticode.moc"
