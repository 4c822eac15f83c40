#include "backup/widgets/BackupWindow.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QDateTimeEdit>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <optional>

#include "ui/widgets/QtMainQueue.h"
#include "ui/widgets/QtOutlets.h"

namespace zaq {
namespace {

class QtCheckBox : public CheckBoxOutlet {
  public:
    QtCheckBox(QCheckBox* box, int tag) : m_box(box), m_tag(tag) {}
    int tag() const override { return m_tag; }
    bool state() const override { return m_box && m_box->isChecked(); }
    void setState(bool on) override {
        if (m_box) m_box->setChecked(on);
    }

  private:
    QPointer<QCheckBox> m_box;
    int m_tag;
};

class QtDateTime : public DateTimeOutlet {
  public:
    explicit QtDateTime(QDateTimeEdit* edit) : m_edit(edit) {}
    int64_t dateValue() const override {
        return m_edit ? m_edit->dateTime().toSecsSinceEpoch() : 0;
    }
    void setDateValue(int64_t seconds) override {
        if (m_edit) m_edit->setDateTime(QDateTime::fromSecsSinceEpoch(seconds));
    }

  private:
    QPointer<QDateTimeEdit> m_edit;
};

class QtProgress : public ProgressValueOutlet {
  public:
    explicit QtProgress(QProgressBar* bar) : m_bar(bar) {}
    // Past the end time the DVR may send more than 100 %; the bar stays full.
    void setValue(double value) override {
        if (m_bar) m_bar->setValue(int(std::clamp(value, 0.0, 100.0)));
    }

  private:
    QPointer<QProgressBar> m_bar;
};

class QtLabelText : public TextOutlet {
  public:
    explicit QtLabelText(QLabel* label) : m_label(label) {}
    std::string text() const override { return m_label ? m_label->text().toStdString() : ""; }
    void setText(const std::string& text) override {
        if (m_label) m_label->setText(QString::fromStdString(text));
    }
    void setEnabled(bool enabled) override {
        if (m_label) m_label->setEnabled(enabled);
    }

  private:
    QPointer<QLabel> m_label;
};

class QtFolderChooser : public FolderChooserOutlet {
  public:
    explicit QtFolderChooser(QWidget* parent) : m_parent(parent) {}
    std::optional<std::string> chooseFolder(const std::string& start) override {
        QString dir = QFileDialog::getExistingDirectory(m_parent, QObject::tr("Backup folder"),
                                                        QString::fromStdString(start));
        if (dir.isEmpty()) return std::nullopt;
        return dir.toStdString();
    }

  private:
    QPointer<QWidget> m_parent;
};

}  // namespace

struct BackupWindow::Outlets {
    std::vector<std::unique_ptr<QtCheckBox>> boxes;
    std::unique_ptr<QtCheckBox> all;
    std::unique_ptr<QtDateTime> from, to;
    std::unique_ptr<LineEditText> folder;
    std::unique_ptr<QtFolderChooser> chooser;
    std::unique_ptr<PushButtonOutlet> start, close;
    std::unique_ptr<QtLabelText> status;
    std::unique_ptr<QtProgress> progress;
};

BackupWindow::BackupWindow(QWidget* parent) : QWidget(parent) {
    setWindowTitle(tr("Backup"));
    auto* layout = new QVBoxLayout(this);

    auto* channelBox = new QGroupBox(tr("Channels"), this);
    auto* grid = new QGridLayout(channelBox);
    for (int s = 0; s < kMaxSlots; ++s) {
        m_channels[size_t(s)] =
            new QCheckBox(QString("CH%1").arg(s + 1, 2, 10, QChar('0')), channelBox);
        grid->addWidget(m_channels[size_t(s)], s / 8, s % 8);
    }
    m_all = new QCheckBox(tr("All"), channelBox);
    grid->addWidget(m_all, 2, 0);
    layout->addWidget(channelBox);

    auto* range = new QGridLayout;
    m_from = new QDateTimeEdit(this);
    m_to = new QDateTimeEdit(this);
    for (QDateTimeEdit* e : {m_from, m_to})
        e->setDisplayFormat("yyyy-MM-dd HH:mm:ss");
    range->addWidget(new QLabel(tr("From"), this), 0, 0);
    range->addWidget(m_from, 0, 1);
    range->addWidget(new QLabel(tr("To"), this), 1, 0);
    range->addWidget(m_to, 1, 1);
    layout->addLayout(range);

    auto* folderRow = new QHBoxLayout;
    m_folder = new QLineEdit(this);
    m_browse = new QPushButton(tr("Folder..."), this);
    folderRow->addWidget(m_folder, 1);
    folderRow->addWidget(m_browse);
    layout->addLayout(folderRow);

    m_status = new QLabel(this);
    m_progress = new QProgressBar(this);
    m_progress->setRange(0, 100);
    layout->addWidget(m_status);
    layout->addWidget(m_progress);

    auto* buttons = new QHBoxLayout;
    m_start = new QPushButton(tr("Start"), this);
    m_close = new QPushButton(tr("Close"), this);
    buttons->addStretch(1);
    buttons->addWidget(m_start);
    buttons->addWidget(m_close);
    layout->addLayout(buttons);

    m_queue = std::make_unique<QtMainQueue>();
    m_outlets = std::make_unique<Outlets>();
    BackupOutlets o;
    for (int s = 0; s < kMaxSlots; ++s) {
        m_outlets->boxes.push_back(std::make_unique<QtCheckBox>(m_channels[size_t(s)], s));
        o.channels[size_t(s)] = m_outlets->boxes.back().get();
    }
    m_outlets->all = std::make_unique<QtCheckBox>(m_all, -1);
    m_outlets->from = std::make_unique<QtDateTime>(m_from);
    m_outlets->to = std::make_unique<QtDateTime>(m_to);
    m_outlets->folder = std::make_unique<LineEditText>(m_folder);
    m_outlets->chooser = std::make_unique<QtFolderChooser>(this);
    m_outlets->start = std::make_unique<PushButtonOutlet>(m_start);
    m_outlets->close = std::make_unique<PushButtonOutlet>(m_close);
    m_outlets->status = std::make_unique<QtLabelText>(m_status);
    m_outlets->progress = std::make_unique<QtProgress>(m_progress);
    o.allChannels = m_outlets->all.get();
    o.startTime = m_outlets->from.get();
    o.endTime = m_outlets->to.get();
    o.filePath = m_outlets->folder.get();
    o.folderChooser = m_outlets->chooser.get();
    o.startButton = m_outlets->start.get();
    o.closeButton = m_outlets->close.get();
    o.message = m_outlets->status.get();
    o.progress = m_outlets->progress.get();

    m_dialog = std::make_unique<BackupDialog>(*m_queue);
    m_dialog->setOutlets(o);
    m_dialog->onCloseRequested = [this] { close(); };

    for (int s = 0; s < kMaxSlots; ++s) {
        connect(m_channels[size_t(s)], &QCheckBox::clicked, this, [this, s] {
            if (m_dialog) m_dialog->ChannelSelectCheckBoxPressed(s);
        });
    }
    connect(m_all, &QCheckBox::clicked, this, [this] {
        if (m_dialog) m_dialog->ChannelSelectCheckBoxPressed(-1);
    });
    connect(m_browse, &QPushButton::clicked, this, [this] {
        if (m_dialog) m_dialog->BackupDirectoriOpenPanelButtonPressed();
    });
    connect(m_start, &QPushButton::clicked, this, [this] {
        if (m_dialog) m_dialog->BackupSatartButtonPressed();
    });
    connect(m_close, &QPushButton::clicked, this, [this] {
        if (m_dialog) m_dialog->BackupCloseButtonPressed();
    });
}

BackupWindow::~BackupWindow() {
    teardown();
}

void BackupWindow::loginInfo(const LoginInfoMap& info) {
    if (m_dialog) m_dialog->LoginInfo(info);
}

void BackupWindow::closeEvent(QCloseEvent* event) {
    teardown();
    event->accept();
}

void BackupWindow::teardown() {
    if (!m_dialog) return;
    // A session still connecting is stopped as well: the dialog joins all its threads, and
    // the receiver finishes the running channel's files on its way out.
    m_dialog->connectButtonPressed();
    m_dialog->reset();
    m_dialog.reset();
}

}  // namespace zaq
