// The live window: the dark video box with its 16 panes, and beside it the connection form,
// the status and clock field, the entry/setup button, the layout buttons and the PTZ pad. The
// window owns its live controller for its whole life; closing it disconnects and tears the
// controller down first. GUI thread only.
#pragma once

#include <QMainWindow>

#include <memory>

#include "protocol/StreamObject.h"
#include "ui/Main_Dialog.h"
#include "ui/widgets/QtMainQueue.h"

class QLineEdit;
class QPushButton;
class QToolButton;

namespace zaq {

class BusySpinner;
class PaneHost;
class PtzPad;
class VideoCIView;

class MainWindow : public QMainWindow {
    Q_OBJECT
  public:
    // `shell` opens the address book and the web setup; may be null (nothing happens then).
    explicit MainWindow(AppShellOutlet* shell = nullptr, QWidget* parent = nullptr);
    ~MainWindow() override;

    Main_Dialog& dialog() { return *m_dlg; }
    // Fills the form and connects, as if typed and pressed; nothing while a session runs.
    void connectTo(const QString& address, int port, const QString& id, const QString& password);
    // A short note in the status bar (features that are not there yet).
    void showNote(const QString& text);

    // The controls, for the application shell and the tests.
    QLineEdit* addressField() const { return m_address; }
    QLineEdit* portField() const { return m_port; }
    QLineEdit* idField() const { return m_id; }
    QLineEdit* passwordField() const { return m_password; }
    QLineEdit* statusField() const { return m_status; }
    QPushButton* connectButton() const { return m_connect; }
    QPushButton* entryButton() const { return m_entry; }
    BusySpinner* spinner() const { return m_spinner; }
    QToolButton* splitButton(int mode) const;
    PtzPad* ptzPad() const { return m_ptz; }
    PaneHost* paneHost() const { return m_box; }
    VideoCIView* pane(int slot) const;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    QWidget* buildSidePanel();
    void syncSplitButtons();
    // The close rules: disconnect a running session, then tear the controller down. Once.
    void shutDown();

    QtMainQueue m_queue;  // outlives the controller, whose threads post to it

    PaneHost* m_box = nullptr;
    VideoCIView* m_panes[kMaxSlots] = {};
    QLineEdit *m_address = nullptr, *m_port = nullptr, *m_id = nullptr, *m_password = nullptr;
    QLineEdit* m_status = nullptr;
    QPushButton *m_connect = nullptr, *m_entry = nullptr;
    BusySpinner* m_spinner = nullptr;
    QToolButton* m_split[5] = {};
    PtzPad* m_ptz = nullptr;

    struct Outlets;
    std::unique_ptr<Outlets> m_outlets;  // outlives the controller
    std::unique_ptr<Main_Dialog> m_dlg;  // last member: destroyed first
    bool m_shutDown = false;
};

}  // namespace zaq
