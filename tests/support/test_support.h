// Helpers shared by the tests: log capture, socket pairs and a scripted TCP peer.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zaq::test {

// Collects every log line while alive.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    bool contains(const std::string& text) const;
    size_t count(const std::string& text) const;
    std::vector<std::string> lines() const;

private:
    mutable std::mutex m_lock;
    std::vector<std::string> m_lines;
};

// A connected pair of stream sockets; `a` is non-blocking (the engine's side).
struct SocketPair {
    SocketPair();
    ~SocketPair();
    // Everything readable on b within the wait (stops after a quiet 50 ms once data came).
    std::string drain(std::chrono::milliseconds wait = std::chrono::milliseconds(200));
    void write(const std::string& bytes);
    void closeB();
    int a = -1, b = -1;
};

// A TCP listener on 127.0.0.1 (ephemeral port) whose accepted connections run `script` on a
// thread of their own. The script gets the connected socket (blocking).
class ScriptedPeer {
public:
    explicit ScriptedPeer(std::function<void(int fd)> script);
    ~ScriptedPeer();
    int port() const { return m_port; }
    int accepted() const { return m_accepted; }

private:
    std::function<void(int)> m_script;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::thread m_acceptor;
    std::mutex m_lock;
    std::vector<std::thread> m_workers;
};

// Reads one request header (up to CR LF CR LF) and a body of Content-Length bytes from a
// blocking socket; empty on close.
std::string readRequest(int fd);
void writeAll(int fd, const std::string& bytes);
// A port on 127.0.0.1 with nothing listening.
int unusedPort();

// Builds a reply command block: "ZAQC", length, code, 1, version, 0, session, payload.
std::string replyBlock(int code, int length, const std::vector<std::pair<int, int>>& bytes = {});
// "RTSP/1.0 200 OK" reply with CSeq and optional extra header lines and body.
std::string rtspReply(int cseq, const std::string& headers = {}, const std::string& body = {});

}  // namespace zaq::test

namespace zaq::test {

struct ProcessResult {
    int exitCode = -1;
    std::string out, err;
};

// Runs a program with arguments, waits at most `timeout`, and returns its exit code and output.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace zaq::test
