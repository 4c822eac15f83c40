#include "ui/widgets/SiteEntryDialog.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QVBoxLayout>

#include "protocol/log.h"

namespace zaq {
namespace {

// Passwords are typed into a masked field, as in the live window's form.
class CellDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override {
        QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
        auto* line = qobject_cast<QLineEdit*>(editor);
        if (line && index.column() == SiteEntryController::kPasswordColumn) {
            line->setEchoMode(QLineEdit::Password);
        }
        return editor;
    }
};

// A table view that can end an open edit from outside, keeping what was typed.
class CellTable : public QTableView {
  public:
    using QTableView::QTableView;
    void commitOpenEditors() {
        if (state() != EditingState) return;
        // The delegate's editors live on the viewport.
        for (QWidget* editor : viewport()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (!editor->isVisible() || !editor->inherits("QLineEdit")) continue;
            commitData(editor);
            closeEditor(editor, QAbstractItemDelegate::NoHint);
        }
    }
};

QString toQString(const std::string& text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

}  // namespace

SiteEntryTableModel::SiteEntryTableModel(SiteEntryController& controller, QObject* parent)
    : QAbstractTableModel(parent), m_controller(controller) {}

int SiteEntryTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_controller.numberOfRowsInTableView();
}

int SiteEntryTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kSiteEntryColumns;
}

QVariant SiteEntryTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) return {};
    if (role == Qt::DisplayRole) {
        return toQString(m_controller.objectValueForTableColumn(index.column(), index.row()));
    }
    if (role == Qt::EditRole) return toQString(m_controller.cell(index.column(), index.row()));
    return {};
}

bool SiteEntryTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || role != Qt::EditRole) return false;
    m_controller.setObjectValue(value.toString().toStdString(), index.column(), index.row());
    emit dataChanged(index, index, {Qt::DisplayRole, Qt::EditRole});
    return true;
}

QVariant SiteEntryTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole) return {};
    if (orientation == Qt::Vertical) return section + 1;
    if (section < 0 || section >= kSiteEntryColumns) return {};
    return QString::fromLatin1(SiteEntryController::m_cols[size_t(section)]);
}

Qt::ItemFlags SiteEntryTableModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsEditable;
}

SiteEntryDialog::SiteEntryDialog(QWidget* parent) : QWidget(parent) {
    zlog("SiteEntryDialog :: awakeFromNib");
    m_tableViewController.awakeFromNib();

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    m_model = new SiteEntryTableModel(m_tableViewController, this);
    m_tableView = new CellTable(this);
    m_tableView->setObjectName(QStringLiteral("siteTable"));
    m_tableView->setModel(m_model);
    m_tableView->setItemDelegate(new CellDelegate(m_tableView));
    m_tableView->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_tableView->setSelectionMode(QAbstractItemView::SingleSelection);
    m_tableView->setEditTriggers(QAbstractItemView::DoubleClicked |
                                 QAbstractItemView::EditKeyPressed |
                                 QAbstractItemView::AnyKeyPressed);
    m_tableView->setAlternatingRowColors(true);
    QHeaderView* header = m_tableView->horizontalHeader();
    const int widths[kSiteEntryColumns] = {180, 200, 70, 110, 110};
    for (int c = 0; c < kSiteEntryColumns; ++c)
        m_tableView->setColumnWidth(c, widths[c]);
    header->setStretchLastSection(true);
    column->addWidget(m_tableView, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    m_close = new QPushButton(QStringLiteral("Close"), this);
    m_select = new QPushButton(QStringLiteral("Select"), this);
    m_select->setToolTip(QStringLiteral("Fill the live window's form with the selected site"));
    // Enter belongs to the table's editing; the buttons take only clicks and Space.
    for (QPushButton* b : {m_close, m_select})
        b->setAutoDefault(false);
    buttons->addWidget(m_close);
    buttons->addWidget(m_select);
    column->addLayout(buttons);

    connect(m_select, &QPushButton::clicked, this, [this] { onSelectButtonPressed(); });
    connect(m_close, &QPushButton::clicked, this, [this] {
        if (onCloseRequested) onCloseRequested();
    });
}

void SiteEntryDialog::commitPendingEdit() {
    static_cast<CellTable*>(m_tableView)->commitOpenEditors();
}

void SiteEntryDialog::onSelectButtonPressed() {
    commitPendingEdit();
    const QModelIndexList rows = m_tableView->selectionModel()->selectedRows();
    const int row = rows.isEmpty() ? -1 : rows.first().row();
    SiteEntry entry = m_tableViewController.getEntryResult(row);
    // Without a chosen row there is nothing to hand over; five empty cells would only wipe
    // the form the user may have typed.
    if (row >= 0 && onSelected) onSelected(entry);
    if (onCloseRequested) onCloseRequested();
}

bool SiteEntryDialog::onClose() {
    commitPendingEdit();
    return m_tableViewController.onClose();
}

}  // namespace zaq
