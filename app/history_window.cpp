// SPDX-License-Identifier: Apache-2.0
#include "app/history_window.h"

#include "app/application.h"
#include "app/operator_dialogs.h"
#include "app/wheel_guard.h"
#include "history/send_history.h"
#include "record/record_file.h"
#include "record/record_text.h"
#include "ui_HistoryWindow.h"

#include <QFile>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QShortcut>
#include <QStandardItemModel>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace kestravo {

namespace {

// How long the list may stay as it is before the window says the file is busy.
constexpr int kBusyNoteMs = 500;

bool SaysBusy(const QString& error)
{
    return error.contains(QLatin1String("locked"), Qt::CaseInsensitive) ||
           error.contains(QLatin1String("busy"), Qt::CaseInsensitive);
}

QString ResultText(const history::SendEntry& entry)
{
    if (!entry.code)
        return QStringLiteral("unfinished");
    if (*entry.code == 0 && entry.queuePlace)
        return QStringLiteral("queued, place %1 (code 0)").arg(*entry.queuePlace);
    if (*entry.code == 0)
        return QStringLiteral("sent (code 0)");
    return QStringLiteral("not sent (code %1)").arg(*entry.code);
}

QString RouteText(const history::SendEntry& entry)
{
    if (entry.transport == u"directip")
        return QStringLiteral("DirectIP ") + entry.endpoint;
    QString relay = entry.relayHost.contains(u':') ? u'[' + entry.relayHost + u']' : entry.relayHost;
    if (!entry.relayPort.isEmpty())
        relay += u':' + entry.relayPort;
    if (entry.gateway.isEmpty())
        return relay;
    return relay + QStringLiteral(" → ") + entry.gateway;
}

TConfigRecord RecordOf(const history::SendEntry& entry)
{
    TConfigRecord record{};
    if (entry.record.size() != static_cast<qsizetype>(kRecordSize))
        throw std::runtime_error("send " + std::to_string(entry.id) + " holds no whole record");
    std::copy(entry.record.begin(), entry.record.end(), record.begin());
    return record;
}

QString Lines(const std::vector<std::string>& lines)
{
    QStringList out;
    for (const std::string& line : lines)
        out << QString::fromStdString(line);
    return out.join(u'\n');
}

} // namespace

void SendFilter::SetImei(const QString& imei)
{
    imei_ = imei.trimmed();
    invalidateFilter();
}

void SendFilter::SetDate(const QDate& day)
{
    day_ = day;
    invalidateFilter();
}

bool SendFilter::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const
{
    const QAbstractItemModel* model = sourceModel();
    if (!imei_.isEmpty() &&
        !model->index(sourceRow, HistoryWindow::ImeiColumn, sourceParent).data().toString().contains(imei_))
        return false;
    if (day_.isValid() &&
        model->index(sourceRow, HistoryWindow::TimeColumn, sourceParent)
                .data(HistoryWindow::TimeRole)
                .toDateTime()
                .date() != day_)
        return false;
    return true;
}

HistoryWindow::HistoryWindow(QString historyPath, OperatorDialogs& dialogs, QWidget* parent)
    : QWidget(parent, Qt::Window), ui(std::make_unique<Ui::HistoryWindow>()),
      path_(std::move(historyPath)), dialogs_(dialogs), model_(new QStandardItemModel(0, ColumnCount, this)),
      filter_(new SendFilter(this)), busyNote_(new QTimer(this))
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Send history — ") + ApplicationTitle());
    model_->setHorizontalHeaderLabels({QStringLiteral("Time"), QStringLiteral("IMEI"), QStringLiteral("Result"),
                                       QStringLiteral("Relay / gateway"), QStringLiteral("Origin")});
    filter_->setSourceModel(model_);
    // The time column sorts by the time itself, not its text.
    filter_->setSortRole(TimeRole);
    ui->sendsView->setModel(filter_);
    ui->sendsView->horizontalHeader()->setStretchLastSection(true);
    // A whole IMEI and time in any font: devices differ only in their last digits.
    for (int column : {TimeColumn, ImeiColumn, ResultColumn})
        ui->sendsView->horizontalHeader()->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    // Tab leaves the list for the next control, as everywhere else; the arrows move the selection.
    ui->sendsView->setTabKeyNavigation(false);
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &QWidget::close);
    ui->sendsView->verticalHeader()->hide();
    ui->sendsView->sortByColumn(TimeColumn, Qt::DescendingOrder);
    ui->dateFilter->setDate(QDate::currentDate());

    connect(ui->imeiFilter, &QLineEdit::textChanged, this, &HistoryWindow::UpdateFilters);
    connect(ui->dateFilterOn, &QCheckBox::toggled, this, &HistoryWindow::UpdateFilters);
    connect(ui->dateFilter, &QDateEdit::dateChanged, this, &HistoryWindow::UpdateFilters);
    connect(ui->refreshButton, &QPushButton::clicked, this, &HistoryWindow::Refresh);
    connect(ui->exportButton, &QPushButton::clicked, this, &HistoryWindow::ExportSelected);
    connect(ui->compareButton, &QPushButton::clicked, this, &HistoryWindow::CompareSelected);
    connect(ui->loadButton, &QPushButton::clicked, this, &HistoryWindow::LoadSelected);
    connect(ui->closeButton, &QPushButton::clicked, this, &QWidget::close);
    connect(ui->sendsView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &HistoryWindow::ShowSelection);
    busyNote_->setSingleShot(true);
    connect(busyNote_, &QTimer::timeout, this, [this] {
        ui->statusLabel->setText(QStringLiteral("The history file is busy: another program is using it. "
                                                "Still trying; Refresh tries again."));
    });
    KeepWheelForFocusedControls(this);
    Refresh();
}

HistoryWindow::~HistoryWindow() = default;

QAbstractItemModel* HistoryWindow::Shown() const
{
    return filter_;
}

QString HistoryWindow::Details() const
{
    return ui->detailsText->toPlainText();
}

void HistoryWindow::SelectRows(const QList<int>& rows)
{
    QItemSelection selection;
    for (int row : rows)
        selection.select(filter_->index(row, 0), filter_->index(row, ColumnCount - 1));
    ui->sendsView->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
}

void HistoryWindow::UpdateFilters()
{
    ui->dateFilter->setEnabled(ui->dateFilterOn->isChecked());
    filter_->SetImei(ui->imeiFilter->text());
    filter_->SetDate(ui->dateFilterOn->isChecked() ? ui->dateFilter->date() : QDate());
    ShowSelection();
}

void HistoryWindow::Refresh()
{
    if (reading_) {
        readAgain_ = true;
        return;
    }
    reading_ = true;
    readAgain_ = false;
    busyNote_->start(kBusyNoteMs);
    // The read runs on a thread of its own with its own connection: a file another program holds
    // makes it wait, never the window. It outlives a window closed meanwhile and then ends unseen.
    auto read = std::make_shared<Read>();
    QThread* reader = QThread::create([path = path_, read] {
        try {
            read->entries = history::SendHistory::OpenReadOnly(path)->List();
        } catch (const std::exception& e) {
            read->failed = true;
            read->error = QString::fromUtf8(e.what());
        }
    });
    connect(reader, &QThread::finished, reader, &QObject::deleteLater);
    connect(reader, &QThread::finished, this, [this, read] {
        reading_ = false;
        busyNote_->stop();
        ShowRead(*read);
        if (readAgain_)
            Refresh();
    });
    reader->start();
}

QString HistoryWindow::Status() const
{
    return ui->statusLabel->text();
}

const history::SendEntry* HistoryWindow::Entry(qint64 id) const
{
    for (const history::SendEntry& entry : entries_)
        if (entry.id == id)
            return &entry;
    return nullptr;
}

void HistoryWindow::ShowRead(const Read& read)
{
    if (read.failed) {
        // What was listed stays listed; the line says why it is not newer.
        ui->statusLabel->setText(SaysBusy(read.error)
                                     ? QStringLiteral("The history file is busy: another program is using it. "
                                                      "Refresh tries again. (%1)").arg(read.error)
                                     : read.error);
        return;
    }
    const QList<qint64> keep = SelectedIds();
    entries_ = read.entries;
    ui->statusLabel->setText(entries_.empty() ? QStringLiteral("No sends kept yet.")
                                              : QStringLiteral("%1 sends kept in %2").arg(entries_.size()).arg(path_));
    model_->removeRows(0, model_->rowCount());
    for (const history::SendEntry& entry : entries_) {
        const QDateTime local = entry.timeUtc.toLocalTime();
        QList<QStandardItem*> row;
        auto* time = new QStandardItem(local.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
        time->setData(entry.id, IdRole);
        time->setData(local, TimeRole);
        row << time;
        for (const QString& text : {entry.imei, ResultText(entry), RouteText(entry), history::OriginText(entry.origin)}) {
            auto* item = new QStandardItem(text);
            item->setData(text, TimeRole); // the other columns sort by their text
            row << item;
        }
        if (entry.code)
            row[ResultColumn]->setData(*entry.code, TimeRole);
        model_->appendRow(row);
    }
    QItemSelection selection;
    for (int r = 0; r < filter_->rowCount(); ++r)
        if (keep.contains(filter_->index(r, 0).data(IdRole).toLongLong()))
            selection.select(filter_->index(r, 0), filter_->index(r, ColumnCount - 1));
    ui->sendsView->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    ShowSelection();
}

QList<qint64> HistoryWindow::SelectedIds() const
{
    QList<qint64> ids;
    for (const QModelIndex& index : ui->sendsView->selectionModel()->selectedRows(0))
        ids << index.data(IdRole).toLongLong();
    std::sort(ids.begin(), ids.end()); // ids grow with time: oldest first
    return ids;
}

void HistoryWindow::ShowSelection()
{
    const QList<qint64> ids = SelectedIds();
    ui->exportButton->setEnabled(ids.size() == 1);
    ui->loadButton->setEnabled(ids.size() == 1);
    ui->compareButton->setEnabled(ids.size() == 2);
    if (ids.size() != 1) {
        ui->detailsText->setPlainText(ids.size() == 2 ? QStringLiteral("Two sends selected: Compare shows what changed.")
                                                      : QString());
        return;
    }
    try {
        const history::SendEntry* entry = Entry(ids[0]);
        if (entry == nullptr) {
            ui->detailsText->setPlainText(QStringLiteral("Send %1 is no longer in the history.").arg(ids[0]));
            return;
        }
        QString text = QStringLiteral("Send %1 to %2, %3\n").arg(entry->id).arg(entry->imei, ResultText(*entry));
        if (!entry->reply.isEmpty())
            text += entry->reply.trimmed() + u'\n';
        text += u'\n' + Lines(RecordLines(RecordOf(*entry)));
        ui->detailsText->setPlainText(text);
    } catch (const std::exception& e) {
        ui->detailsText->setPlainText(QString::fromUtf8(e.what()));
    }
}

void HistoryWindow::ExportSelected()
{
    const QList<qint64> ids = SelectedIds();
    if (ids.size() != 1)
        return;
    try {
        const history::SendEntry* entry = Entry(ids[0]);
        if (entry == nullptr)
            return;
        const TConfigRecord record = RecordOf(*entry);
        const std::optional<QString> path = dialogs_.ChooseSaveFile(entry->imei + QStringLiteral(".sbd"));
        if (!path)
            return;
        WriteRecordFile(QFile::encodeName(*path).toStdString(), record);
    } catch (const std::exception& e) {
        dialogs_.ShowError(ErrorBoxText(QString::fromUtf8(e.what())));
    }
}

void HistoryWindow::CompareSelected()
{
    const QList<qint64> ids = SelectedIds();
    if (ids.size() != 2)
        return;
    try {
        const history::SendEntry* older = Entry(ids[0]);
        const history::SendEntry* newer = Entry(ids[1]);
        if (older == nullptr || newer == nullptr)
            return;
        const std::vector<std::string> differences = RecordDifferences(RecordOf(*older), RecordOf(*newer));
        QString text = QStringLiteral("Send %1 (%2) -> send %3 (%4)\n\n")
                           .arg(older->id)
                           .arg(older->imei)
                           .arg(newer->id)
                           .arg(newer->imei);
        text += differences.empty() ? QStringLiteral("The records are equal.") : Lines(differences);
        ui->detailsText->setPlainText(text);
    } catch (const std::exception& e) {
        ui->detailsText->setPlainText(QString::fromUtf8(e.what()));
    }
}

void HistoryWindow::LoadSelected()
{
    const QList<qint64> ids = SelectedIds();
    if (ids.size() != 1)
        return;
    try {
        if (const history::SendEntry* entry = Entry(ids[0]))
            emit LoadRequested(entry->imei, RecordOf(*entry));
    } catch (const std::exception& e) {
        dialogs_.ShowError(ErrorBoxText(QString::fromUtf8(e.what())));
    }
}

} // namespace kestravo
