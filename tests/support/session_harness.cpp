#include "tests/support/session_harness.h"

namespace zaq::test {

SessionHarness::SessionHarness() {
    m_status.onChange = [this](const std::string& text) { m_statuses.push_back(text); };
    LiveOutlets o;
    o.ipdns = &address;
    o.port = &port;
    o.id = &id;
    o.pwd = &pwd;
    o.timeField = &m_status;
    o.connectButton = &connectButton;
    o.entryAndSetupButton = &entryButton;
    o.connPI = &progress;
    dialog = std::make_unique<Main_Dialog>(loop, o);
    dialog->awakeFromNib();
}

SessionHarness::~SessionHarness() {
    if (dialog->m_isConnected) dialog->connectButtonPressed();
    dialog.reset();
}

void SessionHarness::connect(const std::string& host, int p, const std::string& user,
                             const std::string& password) {
    dialog->setConnInfo(host, std::to_string(p), user, password);
    dialog->connectButtonPressed();
}

void SessionHarness::disconnect() {
    if (dialog->m_isConnected) dialog->connectButtonPressed();
}

bool SessionHarness::runUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    return loop.runUntilTrue(pred, timeout);
}

bool SessionHarness::waitUp(std::chrono::milliseconds timeout) {
    runUntil([&] { return dialog->cameUp() || !dialog->m_isConnected; }, timeout);
    return dialog->cameUp();
}

bool SessionHarness::waitIdle(std::chrono::milliseconds timeout) {
    return runUntil([&] { return !dialog->m_isConnected; }, timeout);
}

}  // namespace zaq::test
