#include "ui/widgets/MainWindow.h"

#include <QCloseEvent>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "protocol/log.h"
#include "ui/widgets/Artwork.h"
#include "ui/widgets/PaneHost.h"
#include "ui/widgets/PtzPad.h"
#include "ui/widgets/QtOutlets.h"
#include "ui/widgets/VideoCIView.h"

namespace zaq {
namespace {

constexpr int kSplitModes[5] = {1, 4, 9, 10, 16};
constexpr int kPanelWidth = 272;

}  // namespace

struct MainWindow::Outlets {
    LineEditText address, port, id, password, status;
    PushButtonOutlet connect, entry;
    MessageBoxAlert alert;
};

MainWindow::MainWindow(AppShellOutlet* shell, QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("Live - ZAQ Client"));
    auto* central = new QWidget(this);
    auto* row = new QHBoxLayout(central);
    row->setContentsMargins(8, 8, 8, 8);
    row->setSpacing(8);

    m_box = new PaneHost(central);
    const QImage logo = art::logoImage();
    for (int slot = 0; slot < kMaxSlots; ++slot) {
        m_panes[slot] = VideoCIView::create(slot, logo);
        m_box->setPane(slot, m_panes[slot]->widget());
    }
    row->addWidget(m_box, 1);
    row->addWidget(buildSidePanel());
    setCentralWidget(central);

    m_outlets.reset(
        new Outlets{LineEditText(m_address), LineEditText(m_port), LineEditText(m_id),
                    LineEditText(m_password), LineEditText(m_status), PushButtonOutlet(m_connect),
                    PushButtonOutlet(m_entry, QStringLiteral("Remote Setup"), art::setupIcon()),
                    MessageBoxAlert(this)});

    LiveOutlets o;
    o.ipdns = &m_outlets->address;
    o.port = &m_outlets->port;
    o.id = &m_outlets->id;
    o.pwd = &m_outlets->password;
    o.timeField = &m_outlets->status;
    o.connectButton = &m_outlets->connect;
    o.entryAndSetupButton = &m_outlets->entry;
    o.connPI = m_spinner;
    o.alert = &m_outlets->alert;
    o.shell = shell;
    o.panes = m_box;
    for (int slot = 0; slot < kMaxSlots; ++slot)
        o.views[slot] = m_panes[slot];
    m_dlg = std::make_unique<Main_Dialog>(m_queue, o);

    // The controls only say what the user wants; the controller decides.
    connect(m_connect, &QPushButton::clicked, this, [this] { m_dlg->connectButtonPressed(); });
    connect(m_password, &QLineEdit::returnPressed, this, [this] {
        if (m_connect->isEnabled() && !m_dlg->m_isConnected) m_dlg->connectButtonPressed();
    });
    connect(m_entry, &QPushButton::clicked, this, [this] { m_dlg->entryButtonPressed(); });
    for (int k = 0; k < 5; ++k) {
        const int mode = kSplitModes[k];
        connect(m_split[k], &QToolButton::clicked, this, [this, mode] {
            m_dlg->setSplitMode(mode, 0, 0);
            syncSplitButtons();
        });
    }
    m_ptz->onPressed = [this](int command) { m_dlg->ptzPressed(command); };
    m_ptz->onReleased = [this] { m_dlg->ptzReleased(); };
    for (VideoCIView* pane : m_panes) {
        pane->onClicked = [this](int slot, int clicks) {
            m_dlg->paneClicked(slot, clicks);
            syncSplitButtons();
        };
        pane->onRect = [this](int slot, const QRectF& r) {
            m_dlg->setChannelUIRect(slot, r.x(), r.y(), r.width(), r.height());
        };
        // Sizes reported before the controller existed.
        QSize size = pane->widget()->size();
        m_dlg->setChannelUIRect(pane->slot(), 0, 0, size.width(), size.height());
    }
    m_box->onResized = [this] { m_dlg->relayout(); };

    m_dlg->awakeFromNib();
    syncSplitButtons();
    // Roomy by default, but never larger than the screen's free area.
    QSize size(1360, 860);
    if (QScreen* s = screen()) size = size.boundedTo(s->availableGeometry().size() * 0.95);
    resize(size);
}

MainWindow::~MainWindow() {
    shutDown();
    m_dlg.reset();
}

QWidget* MainWindow::buildSidePanel() {
    auto* panel = new QWidget(this);
    panel->setFixedWidth(kPanelWidth);
    // Layout and PTZ buttons show plainly which layout is on and which button is held.
    panel->setStyleSheet(
        QStringLiteral("QToolButton { background: palette(button); border: 1px solid palette(dark);"
                       " border-radius: 4px; padding: 3px; }"
                       "QToolButton:hover { border-color: palette(highlight); }"
                       "QToolButton:pressed, QToolButton:checked { background: palette(highlight);"
                       " color: palette(highlighted-text); }"));
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(10);

    // The status and DVR clock: read-only, large, first to catch the eye.
    m_status = new QLineEdit(panel);
    m_status->setObjectName(QStringLiteral("statusField"));
    m_status->setReadOnly(true);
    m_status->setFocusPolicy(Qt::NoFocus);
    m_status->setAlignment(Qt::AlignCenter);
    QFont clock(QStringLiteral("Liberation Mono"));
    clock.setStyleHint(QFont::Monospace);
    clock.setBold(true);
    clock.setPixelSize(17);
    m_status->setFont(clock);
    m_status->setMinimumHeight(38);
    m_status->setAccessibleName(QStringLiteral("Status"));
    column->addWidget(m_status);

    auto* connection = new QGroupBox(QStringLiteral("Connection"), panel);
    auto* form = new QFormLayout(connection);
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    m_address = new QLineEdit(connection);
    m_address->setPlaceholderText(QStringLiteral("IP address or host name"));
    m_port = new QLineEdit(QStringLiteral("5445"), connection);
    m_port->setValidator(new QIntValidator(0, 65535, m_port));
    m_id = new QLineEdit(connection);
    m_password = new QLineEdit(connection);
    m_password->setEchoMode(QLineEdit::Password);
    // The controller keeps 259 bytes of each; the rest would be cut anyway.
    for (QLineEdit* e : {m_address, m_id, m_password})
        e->setMaxLength(259);
    form->addRow(QStringLiteral("&Address"), m_address);
    form->addRow(QStringLiteral("P&ort"), m_port);
    form->addRow(QStringLiteral("User &ID"), m_id);
    form->addRow(QStringLiteral("Pass&word"), m_password);

    auto* connectRow = new QHBoxLayout;
    m_connect = new QPushButton(QStringLiteral("Connect"), connection);
    m_connect->setMinimumHeight(30);
    m_spinner = new BusySpinner(connection);
    connectRow->addWidget(m_connect, 1);
    connectRow->addWidget(m_spinner);
    form->addRow(connectRow);
    column->addWidget(connection);

    m_entry = new QPushButton(art::siteIcon(), QStringLiteral("Site"), panel);
    m_entry->setToolTip(QStringLiteral("Address book; the DVR's web setup while connected"));
    m_entry->setMinimumHeight(30);
    m_entry->setIconSize(QSize(20, 20));
    column->addWidget(m_entry);

    auto* layouts = new QGroupBox(QStringLiteral("Layout"), panel);
    auto* splitRow = new QHBoxLayout(layouts);
    splitRow->setSpacing(4);
    for (int k = 0; k < 5; ++k) {
        auto* b = new QToolButton(layouts);
        int mode = kSplitModes[k];
        b->setIcon(art::splitIcon(mode));
        b->setIconSize(QSize(26, 20));
        b->setText(QString::number(mode));
        b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        b->setToolTip(mode == 1
                          ? QStringLiteral("One channel; again for the next")
                          : QStringLiteral("%1 channels; again for the next group").arg(mode));
        b->setCheckable(true);
        b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        splitRow->addWidget(b);
        m_split[k] = b;
    }
    column->addWidget(layouts);

    auto* ptz = new QGroupBox(QStringLiteral("PTZ"), panel);
    auto* ptzColumn = new QVBoxLayout(ptz);
    m_ptz = new PtzPad(ptz);
    ptzColumn->addWidget(m_ptz);
    column->addWidget(ptz);
    column->addStretch(1);

    // Keyboard order: the form top to bottom, then the buttons.
    QList<QWidget*> chain{m_address, m_port, m_id, m_password, m_connect, m_entry};
    for (QToolButton* b : m_split)
        chain.append(b);
    for (QToolButton* b : m_ptz->buttons())
        chain.append(b);
    for (int k = 1; k < chain.size(); ++k)
        setTabOrder(chain[k - 1], chain[k]);
    return panel;
}

void MainWindow::syncSplitButtons() {
    // Clicking a checkable button toggles it; the controller's layout is what counts.
    for (int k = 0; k < 5; ++k)
        m_split[k]->setChecked(kSplitModes[k] == m_dlg->getSplitMode());
}

QToolButton* MainWindow::splitButton(int mode) const {
    for (int k = 0; k < 5; ++k) {
        if (kSplitModes[k] == mode) return m_split[k];
    }
    return nullptr;
}

VideoCIView* MainWindow::pane(int slot) const {
    return slot >= 0 && slot < kMaxSlots ? m_panes[slot] : nullptr;
}

void MainWindow::connectTo(const QString& address, int port, const QString& id,
                           const QString& password) {
    if (m_dlg->m_isConnected) return;
    m_dlg->setConnInfo(address.toStdString(), std::to_string(port), id.toStdString(),
                       password.toStdString());
    m_dlg->connectButtonPressed();
}

void MainWindow::showNote(const QString& text) {
    statusBar()->showMessage(text, 6000);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    shutDown();
    event->accept();
}

void MainWindow::shutDown() {
    if (m_shutDown) return;
    m_shutDown = true;
    if (m_dlg->m_isConnected) {
        zlog("window Should Close1 %d", int(m_dlg->m_isConnected));
        m_dlg->connectButtonPressed();
    }
    m_dlg->reset();
    zlog("window Should Close4");
}

}  // namespace zaq
