#include "tests/support/test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "protocol/log.h"
#include "protocol/wire.h"

namespace zaq::test {

LogCapture::LogCapture() {
    setLogSink([this](const std::string& line) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_lines.push_back(line);
    });
}

LogCapture::~LogCapture() { setLogSink({}); }

bool LogCapture::contains(const std::string& text) const { return count(text) > 0; }

size_t LogCapture::count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(m_lock);
    size_t n = 0;
    for (auto& l : m_lines) n += l.find(text) != std::string::npos;
    return n;
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_lines;
}

SocketPair::SocketPair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
        a = fds[0];
        b = fds[1];
        fcntl(a, F_SETFL, fcntl(a, F_GETFL) | O_NONBLOCK);
    }
}

SocketPair::~SocketPair() {
    if (a >= 0) close(a);
    closeB();
}

void SocketPair::closeB() {
    if (b >= 0) close(b);
    b = -1;
}

std::string SocketPair::drain(std::chrono::milliseconds wait) {
    std::string out;
    pollfd p{b, POLLIN, 0};
    int timeout = int(wait.count());
    while (poll(&p, 1, timeout) > 0) {
        char buf[4096];
        ssize_t n = recv(b, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, size_t(n));
        timeout = 50;
    }
    return out;
}

void SocketPair::write(const std::string& bytes) { writeAll(b, bytes); }

void writeAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += size_t(n);
    }
}

std::string readRequest(int fd) {
    std::string in;
    char c;
    while (in.find("\r\n\r\n") == std::string::npos) {
        if (recv(fd, &c, 1, 0) != 1) return {};
        in += c;
    }
    size_t at = in.find("Content-Length: ");
    long body = at == std::string::npos ? 0 : std::strtol(in.c_str() + at + 16, nullptr, 10);
    while (body-- > 0) {
        if (recv(fd, &c, 1, 0) != 1) break;
        in += c;
    }
    return in;
}

ScriptedPeer::ScriptedPeer(std::function<void(int)> script) : m_script(std::move(script)) {
    m_listen = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_listen, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    listen(m_listen, 32);
    socklen_t len = sizeof sa;
    getsockname(m_listen, reinterpret_cast<sockaddr*>(&sa), &len);
    m_port = ntohs(sa.sin_port);
    m_acceptor = std::thread([this] {
        while (!m_stop) {
            pollfd p{m_listen, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            int fd = accept(m_listen, nullptr, nullptr);
            if (fd < 0) continue;
            ++m_accepted;
            std::lock_guard<std::mutex> lock(m_lock);
            m_workers.emplace_back([this, fd] {
                m_script(fd);
                close(fd);
            });
        }
    });
}

ScriptedPeer::~ScriptedPeer() {
    m_stop = true;
    m_acceptor.join();
    close(m_listen);
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& w : m_workers) w.join();
}

int unusedPort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
    close(s);  // bound but never listening: connects are refused
    return ntohs(sa.sin_port);
}

std::string replyBlock(int code, int length, const std::vector<std::pair<int, int>>& bytes) {
    std::string b(size_t(length), '\0');
    auto* p = reinterpret_cast<uint8_t*>(b.data());
    std::memcpy(p, "ZAQC", 4);
    wire::wrLE32(p + 4, uint32_t(length));
    p[8] = uint8_t(code);
    p[9] = 1;
    for (auto& [off, v] : bytes) {
        if (off < length) p[off] = uint8_t(v);
    }
    return b;
}

std::string rtspReply(int cseq, const std::string& headers, const std::string& body) {
    std::string r = "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(cseq) + "\r\n" + headers;
    if (!body.empty()) r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return r + "\r\n" + body;
}

}  // namespace zaq::test

#include <signal.h>
#include <sys/wait.h>

namespace zaq::test {

ProcessResult runProcess(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
    ProcessResult result;
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return result;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(errPipe[0]);
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    while (open > 0 && std::chrono::steady_clock::now() < deadline) {
        if (poll(fds, 2, 100) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? result.out : result.err).append(buf, size_t(n));
            }
        }
    }
    if (open > 0) kill(pid, SIGKILL);
    for (auto& f : fds) {
        if (f.fd >= 0) close(f.fd);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace zaq::test
