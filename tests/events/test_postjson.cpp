#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "events/eventreporter.h"
#include "events/postjson.h"

using namespace Pallix::Bake;

namespace {

// Accepts one HTTP request on 127.0.0.1 (ephemeral port), keeps its head and body and answers
// with the given body in several writes, or, when silent, never answers and waits for the client
// to give up. Bounded waits keep a broken client from hanging the test.
class OneShotHttpListener {
public:
    explicit OneShotHttpListener(std::string reply, bool silent = false) : reply(std::move(reply)), silent(silent) {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        listen(listener, 1);
        socklen_t length = sizeof(address);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        server = std::thread([this] { Serve(); });
    }
    ~OneShotHttpListener() {
        Wait();
        close(listener);
    }

    int Port() const { return port; }
    void Wait() {
        if (server.joinable()) server.join();
    }

    std::string head, body;      // the request line and headers, and the body
    bool clientHungUp = false;  // silent mode: the client closed the connection first

private:
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
        size_t end = std::string::npos, length = 0;
        while ((end == std::string::npos || data.size() < end + 4 + length) && Readable(connection, 10000)) {
            const ssize_t n = recv(connection, buffer, sizeof(buffer), 0);
            if (n <= 0) break;
            data.append(buffer, size_t(n));
            if (end == std::string::npos && (end = data.find("\r\n\r\n")) != std::string::npos) {
                const size_t at = data.find("Content-Length: ");
                if (at < end) length = std::strtoul(data.c_str() + at + 16, nullptr, 10);
            }
        }
        if (end != std::string::npos) {
            head = data.substr(0, end + 2);
            body = data.substr(end + 4);
        }
        if (silent) {
            while (Readable(connection, 20000))
                if (recv(connection, buffer, sizeof(buffer), 0) <= 0) {
                    clientHungUp = true;
                    break;
                }
        } else {
            const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                                       std::to_string(reply.size()) + "\r\nConnection: close\r\n\r\n";
            send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
            for (size_t at = 0; at < reply.size(); at += 1000)
                send(connection, reply.data() + at, std::min<size_t>(1000, reply.size() - at), MSG_NOSIGNAL);
        }
        close(connection);
    }

    std::string reply;
    bool silent;
    int listener = -1;
    int port = 0;
    std::thread server;
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
    listener.Wait();
    EXPECT_EQ(listener.head.rfind("POST /inputs/tok/tag/http/ HTTP/1.1\r\n", 0), 0u) << listener.head;
    const std::vector<std::string> headers{"Content-Type: application/json", "Content-Length: " + std::to_string(body.size()),
                                           "User-Agent: MyApp", "Host: 127.0.0.1:" + std::to_string(listener.Port())};
    for (const std::string& line : headers)
        EXPECT_NE(listener.head.find("\r\n" + line + "\r\n"), std::string::npos) << line << "\n" << listener.head;
    EXPECT_EQ(listener.body, body);
    // The reply comes back whole, however many pieces it arrived in.
    EXPECT_EQ(answer, reply);
}

TEST(PostJson, FailuresReturnAnEmptyReply) {
    EXPECT_EQ(PostJson(Local(ClosedPort()), kLogCollectorUrl, "{}"), "");

    // A collector that accepts and never answers: the finite timeout ends the wait.
    OneShotHttpListener silent("", true);
    PostTarget target = Local(silent.Port());
    target.totalTimeoutMs = 300;
    EXPECT_EQ(PostJson(target, kLogCollectorUrl, "{}"), "");
    silent.Wait();
    EXPECT_EQ(silent.body, "{}");
    EXPECT_TRUE(silent.clientHungUp);

    // An unresolvable collector host (the shipped endpoint's reserved domain).
    EXPECT_EQ(PostJson(kLogCollectorUrl, "{}"), "");
}

