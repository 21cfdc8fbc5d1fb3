#include "crl_fetch.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace {

constexpr long kConnectTimeoutMs = 5000;
constexpr long kTotalTimeoutMs = 15000;
constexpr qsizetype kMaximumCrlBytes = 16 * 1024 * 1024;

struct Download {
    QByteArray body;
    bool tooLarge = false;
};

size_t appendBody(char* data, size_t size, size_t count, void* context) {
    auto* download = static_cast<Download*>(context);
    const size_t bytes = size * count;
    if (download->body.size() + static_cast<qsizetype>(bytes) > kMaximumCrlBytes) {
        download->tooLarge = true;
        return 0; // makes libcurl stop with an error
    }
    download->body.append(data, static_cast<qsizetype>(bytes));
    return bytes;
}

struct EasyHandleDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

} // namespace

std::optional<QByteArray> fetchCrl(const QString& url) {
    static std::once_flag globalInit;
    std::call_once(globalInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    if (!url.startsWith(QLatin1String("http://"), Qt::CaseInsensitive))
        return std::nullopt;
    const std::unique_ptr<CURL, EasyHandleDeleter> handle(curl_easy_init());
    if (!handle)
        return std::nullopt;

    const QByteArray address = url.toUtf8();
    Download download;
    CURL* curl = handle.get();
    curl_easy_setopt(curl, CURLOPT_URL, address.constData());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, kTotalTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &download);
    if (curl_easy_perform(curl) != CURLE_OK || download.tooLarge)
        return std::nullopt;
    return download.body;
}
