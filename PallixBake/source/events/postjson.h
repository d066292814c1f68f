#pragma once

#include <string>

namespace Pallix::Bake {

// The log collector's input: scheme, host, then /inputs/<customer token>/tag/http/.
extern const char* const kLogCollectorUrl;
extern const char* const kLogCollectorHost;

// Where and how long one POST may take. The defaults reach the collector on port 80.
struct PostTarget {
    std::string host = kLogCollectorHost;
    int port = 80;
    long connectTimeoutMs = 10000;
    long totalTimeoutMs = 30000;
};

// The object path of a URL: from its third slash (the one that ends the host) to the end;
// empty when the URL holds fewer than three slashes.
std::string ObjectPathFromUrl(const std::string& url);

// POSTs body as JSON to the collector host, on the path taken from url (its scheme and host are
// not used), and returns the reply body. Never throws and reports nothing: a failed exchange
// returns what was read, usually an empty text.
std::string PostJson(const char* url, const char* body);
std::string PostJson(const PostTarget& target, const char* url, const char* body);

// Process-wide start-up and clean-up of the network library; each program's main calls them
// once, before the event reporter exists and after it is gone.
void InitWinsock();
void CleanupWinsock();

}  // namespace Pallix::Bake
