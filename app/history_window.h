// SPDX-License-Identifier: Apache-2.0
#pragma once
// The send history in a window of its own: the sends newest first, filtered by IMEI and date, the
// selected one's record field by field, two selected ones compared, a record exported to a file or
// loaded into the main window. The history file is only ever read here.
#include "history/send_history.h"
#include "record/config_record.h"

#include <QDate>
#include <QSortFilterProxyModel>
#include <QString>
#include <QWidget>

#include <memory>
#include <vector>

class QStandardItemModel;
class QTimer;

namespace Ui {
class HistoryWindow;
}

namespace kestravo {

class OperatorDialogs;

// Keeps the rows whose IMEI contains the IMEI filter and, when a date is set, that were sent on
// that day (local time).
class SendFilter : public QSortFilterProxyModel {
    Q_OBJECT

public:
    using QSortFilterProxyModel::QSortFilterProxyModel;
    void SetImei(const QString& imei);
    void SetDate(const QDate& day); // a null date: any day

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    QString imei_;
    QDate day_;
};

class HistoryWindow : public QWidget {
    Q_OBJECT

public:
    // The columns of the list.
    enum Column { TimeColumn, ImeiColumn, ResultColumn, RouteColumn, OriginColumn, ColumnCount };
    // Model roles: the send's id (column 0) and its local time.
    static constexpr int IdRole = Qt::UserRole + 1;
    static constexpr int TimeRole = Qt::UserRole + 2;

    // dialogs answers the export's save dialog and shows its errors (the main window's).
    HistoryWindow(QString historyPath, OperatorDialogs& dialogs, QWidget* parent = nullptr);
    ~HistoryWindow() override;

    // The list as shown (after the filters), for tests and the accessibility tree.
    QAbstractItemModel* Shown() const;
    // Selects the shown rows given (replacing the selection).
    void SelectRows(const QList<int>& rows);
    // The text of the pane under the list.
    QString Details() const;
    // The line under the list: how many sends, or why none are shown.
    QString Status() const;
    // The history is being read in the background; the list shows what the last read found.
    bool Reading() const { return reading_; }

public slots:
    // Reads the history again in the background, keeping the selection where the sends are still
    // listed. The window never waits for the file: another program may hold it for long.
    void Refresh();
    void ExportSelected();
    void CompareSelected();
    void LoadSelected();

signals:
    // "Load into the main window": the send's IMEI and record.
    void LoadRequested(const QString& imei, const kestravo::TConfigRecord& record);

private:
    struct Read {
        std::vector<history::SendEntry> entries;
        bool failed = false;
        QString error;
    };
    void ShowRead(const Read& read);
    const history::SendEntry* Entry(qint64 id) const;
    void ShowSelection();
    void UpdateFilters();
    QList<qint64> SelectedIds() const; // oldest first

    std::unique_ptr<Ui::HistoryWindow> ui;
    QString path_;
    OperatorDialogs& dialogs_;
    QStandardItemModel* model_;
    SendFilter* filter_;
    std::vector<history::SendEntry> entries_; // as the last read found them
    bool reading_ = false;
    bool readAgain_ = false; // asked to refresh while a read was under way
    QTimer* busyNote_;       // says so when a read takes longer than a moment
};

} // namespace kestravo
