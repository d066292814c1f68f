#include "events/postjson.h"

#include <curl/curl.h>

#include <memory>

namespace Pallix::Bake {

const char* const kLogCollectorUrl =
    "https://log.kelvor.invalid/inputs/5f0c8e2a-7b14-4c9d-a3e6-1d2b9f4c7e80/tag/http/";
const char* const kLogCollectorHost = "log.kelvor.invalid";

namespace {

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct HeaderListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

size_t AppendReply(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

}  // namespace

std::string ObjectPathFromUrl(const std::string& url) {
    size_t slash = url.find('/');
    for (int i = 0; i < 2 && slash != std::string::npos; ++i) slash = url.find('/', slash + 1);
    return slash == std::string::npos ? std::string() : url.substr(slash);
}

std::string PostJson(const char* url, const char* body) { return PostJson(PostTarget(), url, body); }

std::string PostJson(const PostTarget& target, const char* url, const char* body) {
    std::string reply;
    std::unique_ptr<CURL, EasyDeleter> curl(curl_easy_init());
    if (!curl) return reply;

    const std::string path = ObjectPathFromUrl(url ? url : "");
    const std::string address = "http://" + target.host + ":" + std::to_string(target.port) + path;
    const std::string payload = body ? body : "";

    std::unique_ptr<curl_slist, HeaderListDeleter> headers(
        curl_slist_append(nullptr, "Content-Type: application/json"));
    if (!headers) return reply;
    // Without this libcurl may hold a large body back waiting for a 100 Continue. Appending to
    // a list keeps its head.
    if (!curl_slist_append(headers.get(), "Expect:")) return reply;

    CURL* h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, address.c_str());
    curl_easy_setopt(h, CURLOPT_USERAGENT, "MyApp");
    // A direct connection: proxies named in the environment are not used.
    curl_easy_setopt(h, CURLOPT_PROXY, "");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, target.connectTimeoutMs);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, target.totalTimeoutMs);
    curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, payload.data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(payload.size()));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &AppendReply);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &reply);
    curl_easy_perform(h);  // the outcome is not reported: an undelivered event is lost
    return reply;
}

void InitWinsock() { curl_global_init(CURL_GLOBAL_DEFAULT); }

void CleanupWinsock() { curl_global_cleanup(); }

}  // namespace Pallix::Bake
