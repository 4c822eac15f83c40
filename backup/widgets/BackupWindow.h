// The backup window: channel check boxes, the time range, the destination folder, Start and
// Close, one status line and a progress bar. It owns its BackupDialog and shows what the
// dialog tells it; closing the window stops the backup and releases the dialog.
#pragma once

#include <QWidget>
#include <memory>

#include "backup/BackupDialog.h"

class QCheckBox;
class QDateTimeEdit;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace zaq {

class QtMainQueue;

class BackupWindow : public QWidget {
    Q_OBJECT
  public:
    explicit BackupWindow(QWidget* parent = nullptr);
    ~BackupWindow() override;

    // The hand-over from the playback window (LoginInfo of the dialog).
    void loginInfo(const LoginInfoMap& info);
    BackupDialog& dialog() { return *m_dialog; }

    QCheckBox* channelBox(int slot) const { return m_channels[size_t(slot)]; }
    QCheckBox* allBox() const { return m_all; }
    QLineEdit* folderEdit() const { return m_folder; }
    QPushButton* startButton() const { return m_start; }
    QPushButton* closeButton() const { return m_close; }
    QLabel* statusLabel() const { return m_status; }
    QProgressBar* progressBar() const { return m_progress; }
    QDateTimeEdit* startEdit() const { return m_from; }
    QDateTimeEdit* endEdit() const { return m_to; }

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    struct Outlets;
    // Stops the session and releases the dialog; safe to call twice.
    void teardown();

    std::array<QCheckBox*, kMaxSlots> m_channels{};
    QCheckBox* m_all = nullptr;
    QDateTimeEdit *m_from = nullptr, *m_to = nullptr;
    QLineEdit* m_folder = nullptr;
    QPushButton *m_browse = nullptr, *m_start = nullptr, *m_close = nullptr;
    QLabel* m_status = nullptr;
    QProgressBar* m_progress = nullptr;
    std::unique_ptr<QtMainQueue> m_queue;
    std::unique_ptr<Outlets> m_outlets;  // outlives the dialog
    std::unique_ptr<BackupDialog> m_dialog;
};

}  // namespace zaq
