// A live controller on a headless main loop with plain outlets, for session tests.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "live/MainQueue.h"
#include "ui/Main_Dialog.h"

namespace zaq::test {

class SessionHarness {
public:
    SessionHarness();
    ~SessionHarness();

    // Fills the form and presses Connect.
    void connect(const std::string& host, int port, const std::string& id = "usher",
                 const std::string& pwd = "7394");
    // Presses the button while connected (disconnect).
    void disconnect();
    // Runs the main loop until pred() holds; false after the timeout.
    bool runUntil(const std::function<bool()>& pred,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Runs until the session is up (true) or back to idle after a failure (false).
    bool waitUp(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool waitIdle(std::chrono::milliseconds timeout = std::chrono::seconds(15));

    std::vector<std::string> statuses() const { return m_statuses; }
    std::string status() const { return m_status.text(); }

    HeadlessLoop loop;
    PlainText address, port, id, pwd;
    PlainButton connectButton{"Connect"}, entryButton{"Site", "Remote Setup"};
    PlainProgress progress;
    std::unique_ptr<Main_Dialog> dialog;

private:
    PlainText m_status;
    std::vector<std::string> m_statuses;
};

}  // namespace zaq::test
