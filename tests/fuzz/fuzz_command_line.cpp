// The temporary copy's command line: the input's lines are the arguments, "{TEMP}" standing for
// the private TEMP, which holds a staging directory with an installer so that paths can pass.

#include "fuzz_temp.h"
#include "updater.h"

#include <QStringList>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Qt warns on every path with a NUL in it ("Broken filename passed to function"), which the
    // parser then refuses like any missing file: the warnings would drown libFuzzer's output.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    const QString staging = fuzzTemp() + QStringLiteral("/Quindlebrookware-Update-fuzz");
    QDir().mkpath(staging);
    writeInput(QStringLiteral("Quindlebrookware-Update-fuzz/installer.exe"),
               reinterpret_cast<const uint8_t*>("MZ"), 2);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QStringList arguments =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size))
            .replace(QStringLiteral("{TEMP}"), fuzzTemp())
            .split(QLatin1Char('\n'));
    long long pid = 0;
    QString installer;
    QString sha256;
    QString restart;
    Updater updater;
    updater.parseArguments(arguments, pid, installer, sha256, restart);
    dropLog();
    return 0;
}
