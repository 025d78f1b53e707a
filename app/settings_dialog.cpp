// SPDX-License-Identifier: Apache-2.0
#include "app/settings_dialog.h"

#include "app/application.h"
#include "app/operator_dialogs.h"
#include "endpoints/endpoints.h"
#include "endpoints/settings_keys.h"
#include "send/result_codes.h"
#include "send/sbd_send.h"
#include "ways/send_ways.h"
#include "ui_SettingsDialog.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QSaveFile>
#include <QSettings>
#include <QTimer>

#include <filesystem>
#include <system_error>

namespace kestravo {

namespace {

// The name of the dynamic property that marks a field read-only to assistive technology.
constexpr char kReadOnlyToReaders[] = "kestravoReadOnlyToReaders";

// Qt's own interface of a line edit calls it editable even when it is read-only, so a screen
// reader offers it for typing. A field the environment sets gets this one instead: its text as
// the value, read-only, with no editable-text interface.
class ReadOnlyFieldAccessible : public QAccessibleWidget {
public:
    explicit ReadOnlyFieldAccessible(QLineEdit* edit) : QAccessibleWidget(edit, QAccessible::EditableText) {}

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return static_cast<QLineEdit*>(widget())->text();
        return QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.readOnly = true;
        s.editable = false;
        s.selectableText = true;
        return s;
    }
};

QAccessibleInterface* ReadOnlyFieldFactory(const QString& className, QObject* object)
{
    if (className != QLatin1String("QLineEdit") || !object || !object->property(kReadOnlyToReaders).toBool())
        return nullptr;
    return new ReadOnlyFieldAccessible(static_cast<QLineEdit*>(object));
}

} // namespace

SettingsDialog::SettingsDialog(QString path, OperatorDialogs& dialogs, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::SettingsDialog>()), path_(std::move(path)), dialogs_(dialogs)
{
    ui->setupUi(this);
    static const bool readOnlyFieldsKnown = (QAccessible::installFactory(ReadOnlyFieldFactory), true);
    (void)readOnlyFieldsKnown;
    setWindowTitle(QStringLiteral("Settings — ") + ApplicationTitle());
    ui->fileLabel->setText(QStringLiteral("Settings file: %1\nAn empty value leaves the key out, and the "
                                          "program uses the value shown in grey.")
                               .arg(path_));
    try {
        endpoints::CheckSettingsFileValues(path_);
    } catch (const std::exception& e) {
        fileRefusal_ = QString::fromUtf8(e.what());
    }
    const QSettings file(path_, QSettings::IniFormat);
    for (const endpoints::SettingKey& key : endpoints::SettingKeys()) {
        const bool overridden = qEnvironmentVariableIsSet(key.variable);
        auto* edit = new QLineEdit(ui->keysPanel);
        // Read-only to assistive technology too, marked before any reader asks about it.
        edit->setProperty(kReadOnlyToReaders, overridden);
        edit->setObjectName(QLatin1String(key.section) + u'_' + QLatin1String(key.key));
        edit->setPlaceholderText(QString::fromUtf8(key.defaultText));
        QString label = key.Name();
        QString fileValue;
        if (overridden) {
            edit->setText(qEnvironmentVariable(key.variable));
            edit->setReadOnly(true);
            edit->setToolTip(QStringLiteral("Set by the environment variable %1, which wins over the file")
                                 .arg(QLatin1String(key.variable)));
            label += QStringLiteral(" (from %1)").arg(QLatin1String(key.variable));
            edit->setAccessibleDescription(QStringLiteral("Read-only: set by the environment variable %1")
                                               .arg(QLatin1String(key.variable)));
        } else {
            fileValue = endpoints::SettingsFileValue(file, key.section, key.key);
            edit->setText(fileValue);
            edit->setToolTip(QString::fromUtf8(key.help));
            edit->setAccessibleDescription(QString::fromUtf8(key.help));
        }
        edit->setAccessibleName(label);
        auto* caption = new QLabel(label, ui->keysPanel);
        caption->setBuddy(edit);
        ui->keysLayout->addRow(caption, edit);
        rows_.push_back({&key, edit, overridden, fileValue});
    }
    ShowFileRefusal();
    connect(ui->saveButton, &QPushButton::clicked, this, [this] {
        if (Save())
            accept();
    });
    connect(ui->cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui->testButton, &QPushButton::clicked, this, [this] {
        if (!Refused())
            TestConnection();
    });
    connect(ui->defaultsButton, &QPushButton::clicked, this, &SettingsDialog::StartFromDefaults);
}

SettingsDialog::~SettingsDialog()
{
    if (test_) {
        test_->OnConnected = nullptr;
        test_->Abort();
    }
}

QString SettingsDialog::FileRefusal() const
{
    return fromDefaults_ ? QString() : fileRefusal_;
}

void SettingsDialog::ShowFileRefusal()
{
    const bool refused = !FileRefusal().isEmpty();
    ui->fileProblem->setVisible(refused);
    ui->defaultsButton->setVisible(refused);
    if (refused)
        ui->fileProblem->setText(QStringLiteral("Every send refuses this file:\n%1\nMend the file (or the value "
                                                "named), or start again from the defaults.")
                                     .arg(FileRefusal()));
}

void SettingsDialog::StartFromDefaults()
{
    fromDefaults_ = true;
    for (Row& row : rows_)
        if (!row.overridden)
            row.edit->clear();
    ShowFileRefusal();
    if (!rows_.empty())
        rows_.front().edit->setFocus();
}

bool SettingsDialog::Refused()
{
    QString refusal;
    QLineEdit* field = nullptr;
    if (!fromDefaults_) {
        // The file's own lines as they are now (it may have been mended meanwhile); a value in it
        // is checked below as the edit holds it.
        try {
            if (QFileInfo::exists(path_))
                endpoints::CheckSettingsFile(path_);
        } catch (const std::exception& e) {
            refusal = QString::fromUtf8(e.what());
        }
    }
    if (refusal.isEmpty()) {
        endpoints::Endpoints scratch;
        for (const Row& row : rows_) {
            if (row.overridden || row.edit->text().isEmpty())
                continue;
            try {
                row.key->parse(row.edit->text(), Source(row), endpoints::Origin::File, scratch);
            } catch (const std::exception& e) {
                refusal = QString::fromUtf8(e.what());
                field = row.edit;
                break;
            }
        }
    }
    if (refusal.isEmpty())
        return false;
    dialogs_.ShowError(ErrorBoxText(refusal));
    if (field) {
        field->setFocus();
        field->selectAll();
    }
    return true;
}

QLineEdit* SettingsDialog::Edit(const QString& section, const QString& key) const
{
    for (const Row& row : rows_)
        if (section == QLatin1String(row.key->section) && key == QLatin1String(row.key->key))
            return row.edit;
    return nullptr;
}

QString SettingsDialog::TestResult() const
{
    return ui->testResult->text();
}

QString SettingsDialog::Source(const Row& row) const
{
    if (row.overridden)
        return QLatin1String(row.key->variable);
    return endpoints::FileSource(path_, *row.key);
}

bool SettingsDialog::Save()
{
    // Every value is checked before the file is touched: a refused one leaves it as it was.
    if (Refused())
        return false;
    std::error_code made;
    std::filesystem::create_directories(QFile::encodeName(QFileInfo(path_).absolutePath()).toStdString(), made);
    if (made) {
        dialogs_.ShowError(ErrorBoxText(QStringLiteral("Cannot create the folder of %1: %2")
                                            .arg(path_, QString::fromLocal8Bit(made.message()))));
        return false;
    }
    QByteArray before;
    if (!fromDefaults_) {
        QFile old(path_);
        if (QFileInfo(path_).exists() && !old.open(QIODevice::ReadOnly)) {
            dialogs_.ShowError(ErrorBoxText(QStringLiteral("Cannot read %1: %2").arg(path_, old.errorString())));
            return false;
        }
        before = old.isOpen() ? old.readAll() : QByteArray();
    }
    // Only the keys whose edit changed are written; the environment's value belongs to the
    // environment, and the file keeps its own.
    std::vector<endpoints::SettingChange> changes;
    for (const Row& row : rows_) {
        if (row.overridden)
            continue;
        const QString text = row.edit->text();
        if (!fromDefaults_ && text == row.fileValue)
            continue;
        changes.push_back({QLatin1String(row.key->section), QLatin1String(row.key->key),
                           text.isEmpty() ? QString() : text});
    }
    QByteArray after;
    try {
        after = endpoints::RewriteSettingsText(before, changes);
    } catch (const std::exception& e) {
        dialogs_.ShowError(ErrorBoxText(QStringLiteral("Cannot write %1: %2").arg(path_, QString::fromUtf8(e.what()))));
        return false;
    }
    if (after == before && QFileInfo::exists(path_))
        return true;
    // Written beside the file and renamed over it where that is safe (a symbolic link is followed
    // to its target); in place where it is not, so the file is never torn nor replaced by less.
    QSaveFile file(path_);
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly) || file.write(after) != after.size() || !file.commit()) {
        dialogs_.ShowError(ErrorBoxText(QStringLiteral("Cannot write %1: %2").arg(path_, file.errorString())));
        return false;
    }
    return true;
}

void SettingsDialog::ShowTestResult(const QString& text)
{
    ui->testResult->setText(text);
    ui->testButton->setEnabled(true);
}

void SettingsDialog::TestConnection()
{
    // The relay and deadline as they stand in the dialog, saved or not; unset ones as a send
    // would take them.
    endpoints::Endpoints endpoints;
    try {
        endpoints = endpoints::ResolveEndpoints();
    } catch (const std::exception&) {
        // A bad value in the file is replaced below by the dialog's own, or named by Save.
    }
    try {
        const Row* relay = nullptr;
        const Row* timeout = nullptr;
        for (const Row& row : rows_) {
            if (QLatin1String(row.key->section) != QLatin1String("mail"))
                continue;
            if (QLatin1String(row.key->key) == QLatin1String("relay"))
                relay = &row;
            if (QLatin1String(row.key->key) == QLatin1String("timeout"))
                timeout = &row;
        }
        if (relay && !relay->edit->text().isEmpty())
            std::tie(endpoints.relayHost, endpoints.relayPort) = endpoints::ParseRelay(relay->edit->text(), Source(*relay));
        if (timeout && !timeout->edit->text().isEmpty())
            endpoints.timeoutSeconds = endpoints::ParseTimeoutSeconds(timeout->edit->text(), Source(*timeout));
    } catch (const std::exception& e) {
        ShowTestResult(QString::fromUtf8(e.what()));
        return;
    }
    if (test_) {
        test_->OnConnected = nullptr;
        test_->OnFinished = nullptr;
        test_->Abort();
        // It may still be reporting from further up the stack: it goes later.
        std::shared_ptr<send::SbdSend> old(test_.release());
        QTimer::singleShot(0, QCoreApplication::instance(), [old] {});
    }
    const bool directIp = endpoints.transport == endpoints::Transport::DirectIp;
    const QString peer = directIp ? send::HostPort(endpoints.directipHost, endpoints.directipPort)
                                  : send::HostPort(endpoints.relayHost, endpoints.relayPort);
    try {
        // The chosen way is opened and closed again, as a send would open it; nothing is sent.
        test_ = ways::MakeFlow(endpoints);
    } catch (const std::exception& e) {
        ShowTestResult(QString::fromUtf8(e.what()));
        return;
    }
    ui->testButton->setEnabled(false);
    ui->testResult->setText(QStringLiteral("Connecting to %1…").arg(peer));
    test_->OnConnected = [this, peer, directIp](int code, const QString& reply) {
        if (code != 0)
            ShowTestResult(QStringLiteral("%1 could not be reached: error code %2\n%3").arg(peer).arg(code).arg(reply.trimmed()));
        else if (directIp)
            ShowTestResult(QStringLiteral("%1 took the connection, which was closed again; nothing was sent.").arg(peer));
        else
            ShowTestResult(QStringLiteral("%1 answered: %2\nLeft with QUIT; nothing was sent.").arg(peer, reply.trimmed()));
        // Closes the way opened: QUIT to a relay that greeted, the connection dropped either way.
        QTimer::singleShot(0, this, [this] {
            if (test_)
                test_->Start({});
        });
    };
    try {
        test_->Connect();
    } catch (const std::exception& e) {
        ShowTestResult(QString::fromUtf8(e.what()));
    }
}

} // namespace kestravo
