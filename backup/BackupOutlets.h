// Outlets of the backup window: the controls BackupDialog drives beyond the common ones of
// ui/Outlets.h. The Qt window implements them with widgets; tests and the command-line client
// use the plain ones below. Every member is called on the main thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "protocol/records.h"
#include "ui/Outlets.h"

namespace zaq {

// A check box of the channel box. Tag 0 to 15 names a channel slot; -1 stands for all of them.
class CheckBoxOutlet {
  public:
    virtual ~CheckBoxOutlet() = default;
    virtual int tag() const = 0;
    virtual bool state() const = 0;  // on
    virtual void setState(bool on) = 0;
};

// A date and time control. The value is seconds since 1970-01-01 00:00 UTC; the control shows
// it in the machine's time zone.
class DateTimeOutlet {
  public:
    virtual ~DateTimeOutlet() = default;
    virtual int64_t dateValue() const = 0;
    virtual void setDateValue(int64_t seconds) = 0;
};

// The bar that shows a value from 0 to 100.
class ProgressValueOutlet {
  public:
    virtual ~ProgressValueOutlet() = default;
    virtual void setValue(double value) = 0;
};

// The modal folder chooser: starts at `start`, lets the user pick one folder; none on cancel.
class FolderChooserOutlet {
  public:
    virtual ~FolderChooserOutlet() = default;
    virtual std::optional<std::string> chooseFolder(const std::string& start) = 0;
};

// The controls of the backup window that BackupDialog drives. Null members are left alone.
struct BackupOutlets {
    std::array<CheckBoxOutlet*, kMaxSlots> channels{};  // the channel box's check boxes
    CheckBoxOutlet* allChannels = nullptr;              // tag -1
    DateTimeOutlet* startTime = nullptr;
    DateTimeOutlet* endTime = nullptr;
    TextOutlet* filePath = nullptr;
    FolderChooserOutlet* folderChooser = nullptr;
    ButtonOutlet* startButton = nullptr;
    ButtonOutlet* closeButton = nullptr;
    TextOutlet* message = nullptr;
    ProgressValueOutlet* progress = nullptr;
};

// --- Plain outlets

class PlainCheckBox : public CheckBoxOutlet {
  public:
    explicit PlainCheckBox(int tag = 0, bool on = false) : m_tag(tag), m_on(on) {}
    int tag() const override { return m_tag; }
    bool state() const override { return m_on; }
    void setState(bool on) override { m_on = on; }

  private:
    int m_tag;
    bool m_on;
};

class PlainDateTime : public DateTimeOutlet {
  public:
    explicit PlainDateTime(int64_t seconds = 0) : m_value(seconds) {}
    int64_t dateValue() const override { return m_value; }
    void setDateValue(int64_t seconds) override { m_value = seconds; }

  private:
    int64_t m_value;
};

class PlainProgressValue : public ProgressValueOutlet {
  public:
    void setValue(double value) override {
        m_value = value;
        ++m_changes;
    }
    double value() const { return m_value; }
    int changes() const { return m_changes; }

  private:
    double m_value = 0;
    int m_changes = 0;
};

// Answers with a fixed choice (none = the user cancels).
class PlainFolderChooser : public FolderChooserOutlet {
  public:
    std::optional<std::string> chooseFolder(const std::string& start) override {
        lastStart = start;
        return answer;
    }
    std::optional<std::string> answer;
    std::string lastStart;
};

// A whole set of plain controls for a backup without a window: channel boxes tagged 0 to 15,
// the "all" box, the range, the folder, the buttons, the status line and the bar.
struct PlainBackupControls {
    PlainBackupControls() {
        for (int s = 0; s < kMaxSlots; ++s)
            channels[size_t(s)] = std::make_unique<PlainCheckBox>(s, false);
    }
    BackupOutlets outlets() {
        BackupOutlets o;
        for (int s = 0; s < kMaxSlots; ++s)
            o.channels[size_t(s)] = channels[size_t(s)].get();
        o.allChannels = &all;
        o.startTime = &start;
        o.endTime = &end;
        o.filePath = &folder;
        o.folderChooser = &chooser;
        o.startButton = &startButton;
        o.closeButton = &closeButton;
        o.message = &message;
        o.progress = &progress;
        return o;
    }
    std::array<std::unique_ptr<PlainCheckBox>, kMaxSlots> channels;
    PlainCheckBox all{-1, false};
    PlainDateTime start, end;
    PlainText folder, message;
    PlainFolderChooser chooser;
    PlainButton startButton{"Start"}, closeButton{"Close"};
    PlainProgressValue progress;
};

}  // namespace zaq
