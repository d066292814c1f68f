#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>

#include "events/eventreporter.h"
#include "events/postjson.h"

using namespace Pallix::Bake;

namespace {

struct ReceivedRequest {
    std::string method;
    std::string target;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

// Accepts one HTTP request on 127.0.0.1 (ephemeral port), records it and answers with the given
// body, or, when silent, never answers and waits for the client to give up.
class OneShotHttpListener {
public:
    explicit OneShotHttpListener(std::string reply, bool silent = false)
        : reply(std::move(reply)), silent(silent) {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        listen(listener, 1);
        socklen_t length = sizeof(address);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        server = std::thread([this] { Serve(); });
    }
    ~OneShotHttpListener() {
        if (server.joinable()) server.join();
        close(listener);
    }

    int Port() const { return port; }
    // Silent mode: the client closed the connection before the listener stopped waiting.
    bool ClientHungUp() const { return clientHungUp; }
    const ReceivedRequest& Wait() {
        if (server.joinable()) server.join();
        return request;
    }

private:
    // Bounded waits keep a broken client from hanging the test.
    static bool Readable(int fd, int milliseconds) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, milliseconds) > 0;
    }

    void Serve() {
        if (!Readable(listener, 10000)) return;
        const int connection = accept(listener, nullptr, nullptr);
        if (connection < 0) return;
        std::string data;
        char buffer[4096];
        size_t headerEnd = std::string::npos;
        size_t contentLength = 0;
        while (Readable(connection, 10000)) {
            const ssize_t n = recv(connection, buffer, sizeof(buffer), 0);
            if (n <= 0) break;
            data.append(buffer, size_t(n));
            if (headerEnd == std::string::npos && (headerEnd = data.find("\r\n\r\n")) != std::string::npos) {
                ParseHead(data.substr(0, headerEnd));
                contentLength = std::strtoul(request.headers["content-length"].c_str(), nullptr, 10);
            }
            if (headerEnd != std::string::npos && data.size() >= headerEnd + 4 + contentLength) break;
        }
        if (headerEnd != std::string::npos) request.body = data.substr(headerEnd + 4);
        if (silent) {
            while (Readable(connection, 20000)) {
                if (recv(connection, buffer, sizeof(buffer), 0) <= 0) {
                    clientHungUp = true;
                    break;
                }
            }
        } else {
            const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                                     std::to_string(reply.size()) + "\r\nConnection: close\r\n\r\n";
            send(connection, head.data(), head.size(), MSG_NOSIGNAL);
            // Several writes, so the client sees the reply arrive in pieces.
            for (size_t at = 0; at < reply.size(); at += 1000)
                send(connection, reply.data() + at, std::min<size_t>(1000, reply.size() - at), MSG_NOSIGNAL);
        }
        close(connection);
    }

    void ParseHead(const std::string& head) {
        size_t lineEnd = head.find("\r\n");
        const std::string first = head.substr(0, lineEnd);
        const size_t space1 = first.find(' ');
        const size_t space2 = first.find(' ', space1 + 1);
        request.method = first.substr(0, space1);
        request.target = first.substr(space1 + 1, space2 - space1 - 1);
        while (lineEnd != std::string::npos) {
            const size_t start = lineEnd + 2;
            lineEnd = head.find("\r\n", start);
            const std::string line = head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
            const size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            std::string name = line.substr(0, colon);
            std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
            size_t valueStart = line.find_first_not_of(' ', colon + 1);
            request.headers[name] = valueStart == std::string::npos ? "" : line.substr(valueStart);
        }
    }

    std::string reply;
    bool silent;
    int listener = -1;
    int port = 0;
    std::thread server;
    ReceivedRequest request;
    bool clientHungUp = false;
};

PostTarget Local(int port) {
    PostTarget target;
    target.host = "127.0.0.1";
    target.port = port;
    return target;
}

// A port on which nothing listens: bound once, then released.
int ClosedPort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    close(s);
    return ntohs(address.sin_port);
}

}  // namespace

TEST(PostJson, ObjectPathStartsAtTheSlashThatEndsTheHost) {
    EXPECT_EQ(ObjectPathFromUrl("https://collector.example/inputs/abc/tag/http/"), "/inputs/abc/tag/http/");
    EXPECT_EQ(ObjectPathFromUrl("http://h/"), "/");
    EXPECT_EQ(ObjectPathFromUrl("https://collector.example"), "");
    EXPECT_EQ(ObjectPathFromUrl("no slashes"), "");
    EXPECT_EQ(ObjectPathFromUrl(""), "");
}

TEST(PostJson, PostsTheBodyAsJsonToTheUrlPath) {
    std::string reply;
    for (int i = 0; reply.size() < 100000; ++i) reply += "line " + std::to_string(i) + "\n";
    OneShotHttpListener listener(reply);
    const std::string body = R"({"category":"system","eventtype":"boot","nodeid":"42"})";
    const std::string answer =
        PostJson(Local(listener.Port()), "https://ignored.example/inputs/tok/tag/http/", body.c_str());
    const ReceivedRequest& request = listener.Wait();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/inputs/tok/tag/http/");
    EXPECT_EQ(request.headers.at("content-type"), "application/json");
    EXPECT_EQ(request.headers.at("content-length"), std::to_string(body.size()));
    EXPECT_EQ(request.headers.at("user-agent"), "MyApp");
    EXPECT_EQ(request.headers.at("host"), "127.0.0.1:" + std::to_string(listener.Port()));
    EXPECT_EQ(request.body, body);
    // The reply comes back whole, however many pieces it arrived in.
    EXPECT_EQ(answer, reply);
}

TEST(PostJson, ProxiesFromTheEnvironmentAreNotUsed) {
    const int deadProxy = ClosedPort();
    const std::string proxy = "http://127.0.0.1:" + std::to_string(deadProxy);
    setenv("http_proxy", proxy.c_str(), 1);
    setenv("ALL_PROXY", proxy.c_str(), 1);
    OneShotHttpListener listener("ok");
    const std::string answer = PostJson(Local(listener.Port()), "http://h/p", "{}");
    unsetenv("http_proxy");
    unsetenv("ALL_PROXY");
    EXPECT_EQ(listener.Wait().body, "{}");
    EXPECT_EQ(answer, "ok");
}

TEST(PostJson, FailuresReturnAnEmptyReply) {
    EXPECT_EQ(PostJson(Local(ClosedPort()), kLogCollectorUrl, "{}"), "");

    // A collector that accepts and never answers: the finite timeout ends the wait.
    OneShotHttpListener silent("", true);
    PostTarget target = Local(silent.Port());
    target.totalTimeoutMs = 300;
    EXPECT_EQ(PostJson(target, kLogCollectorUrl, "{}"), "");
    EXPECT_EQ(silent.Wait().body, "{}");
    EXPECT_TRUE(silent.ClientHungUp());

    // An unresolvable collector host (the shipped endpoint's reserved domain).
    EXPECT_EQ(PostJson(kLogCollectorUrl, "{}"), "");
}

