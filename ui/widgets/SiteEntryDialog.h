// The address book's content: the five-column table of 100 sites edited in place, the select
// button and the close button. The table shows its controller's data; passwords appear as
// asterisks and are edited in a masked field. GUI thread only.
#pragma once

#include <QAbstractTableModel>
#include <QWidget>

#include <functional>

#include "ui/SiteEntryController.h"

class QPushButton;
class QTableView;

namespace zaq {

// The controller's table as a Qt model: the display role is what the controller shows, the
// edit role the clear cell.
class SiteEntryTableModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    explicit SiteEntryTableModel(SiteEntryController& controller, QObject* parent = nullptr);
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

  private:
    SiteEntryController& m_controller;
};

class SiteEntryDialog : public QWidget {
    Q_OBJECT
  public:
    // Builds the controls and loads the book through the controller.
    explicit SiteEntryDialog(QWidget* parent = nullptr);

    SiteEntryController& controller() { return m_tableViewController; }
    QTableView* tableView() const { return m_tableView; }
    QPushButton* selectButton() const { return m_select; }
    QPushButton* closeButton() const { return m_close; }

    // Called with the chosen row's cells when the select button is pressed, before the window
    // is asked to close.
    std::function<void(const SiteEntry&)> onSelected;
    // Asked to close the window (select and close buttons alike).
    std::function<void()> onCloseRequested;

    // Ends an edit still open in a cell so that it is kept.
    void commitPendingEdit();
    // Saves the book; false when it could not be written.
    bool onClose();

  private:
    void onSelectButtonPressed();

    SiteEntryController m_tableViewController;
    SiteEntryTableModel* m_model = nullptr;
    QTableView* m_tableView = nullptr;
    QPushButton *m_select = nullptr, *m_close = nullptr;
};

}  // namespace zaq
