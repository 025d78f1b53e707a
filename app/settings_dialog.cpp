// SPDX-License-Identifier: Apache-2.0
#include "app/settings_dialog.h"

#include "app/application.h"
#include "app/operator_dialogs.h"
#include "endpoints/endpoints.h"
#include "send/result_codes.h"
#include "send/sbd_send.h"
#include "ways/send_ways.h"
#include "ways/send_ways.h"
#include "ui_SettingsDialog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>
#include <QTimer>

namespace kestravo {

using endpoints::EndpointError;

namespace {

[[noreturn]] void Refuse(const QString& source, const QString& what)
{
    throw EndpointError((source + QStringLiteral(": ") + what).toStdString());
}

// A value that must be one of a few words, in any case.
std::function<void(const QString&, const QString&)> OneOf(QStringList choices)
{
    return [choices](const QString& text, const QString& source) {
        if (!choices.contains(text.trimmed(), Qt::CaseInsensitive) || text != text.trimmed())
            Refuse(source, QStringLiteral("\"%1\" is not one of %2").arg(text, choices.join(QStringLiteral(", "))));
    };
}

// A whole decimal number within [low, high].
std::function<void(const QString&, const QString&)> WholeNumber(qint64 low, qint64 high)
{
    return [low, high](const QString& text, const QString& source) {
        qint64 value = 0;
        if (!endpoints::ParseWholeNumber(text, low, high, value))
            Refuse(source, QStringLiteral("\"%1\" is not a whole number from %2 to %3").arg(text).arg(low).arg(high));
    };
}

// Free text on one line: names, paths and commands may hold blanks but no line break or other
// control character, which the settings file could not keep as one value.
void OneLine(const QString& text, const QString& source)
{
    for (QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            Refuse(source, QStringLiteral("the value holds a control character"));
}

// The gateway's host alone, as the programs read the key: its port goes in the key port.
void DirectIpHost(const QString& text, const QString& source)
{
    if (text.contains(u':') && !(text.startsWith(u'[') && text.endsWith(u']')))
        Refuse(source, QStringLiteral("host \"%1\": the port goes in the key port").arg(text));
    endpoints::ParseRelay(text, source, QStringLiteral("host"), QString::number(endpoints::kDirectIpPort));
}

} // namespace

const std::vector<SettingKey>& SettingKeys()
{
    static const std::vector<SettingKey> keys = {
        {"mail", "relay", "KESTRAVO_RELAY", kRelayHost,
         [](const QString& t, const QString& s) { endpoints::ParseRelay(t, s); }},
        {"mail", "sender", "KESTRAVO_SENDER", kSenderAddress,
         [](const QString& t, const QString& s) { endpoints::ParseAddress(t, s); }},
        {"mail", "gateway", "KESTRAVO_GATEWAY", kGatewayAddress,
         [](const QString& t, const QString& s) { endpoints::ParseAddress(t, s); }},
        {"mail", "timeout", "KESTRAVO_TIMEOUT", "120 (seconds)",
         [](const QString& t, const QString& s) { endpoints::ParseTimeoutSeconds(t, s); }},
        {"mail", "history", "KESTRAVO_HISTORY", "on (on or off)",
         [](const QString& t, const QString& s) { endpoints::ParseSwitch(t, s); }},
        {"mail", "transport", "KESTRAVO_TRANSPORT", "email (email or directip)",
         [](const QString& t, const QString& s) { endpoints::ParseTransport(t, s); }},
        {"mail", "security", "KESTRAVO_SECURITY", "none (none, starttls or tls)",
         OneOf({QStringLiteral("none"), QStringLiteral("starttls"), QStringLiteral("tls")})},
        {"mail", "user", "KESTRAVO_USER", "no login", OneLine},
        {"mail", "auth", "KESTRAVO_AUTH", "auto (auto, plain, login or cram-md5)",
         OneOf({QStringLiteral("auto"), QStringLiteral("plain"), QStringLiteral("login"), QStringLiteral("cram-md5")})},
        {"mail", "cafile", "KESTRAVO_CAFILE", "the system's certificates", OneLine},
        {"mail", "password_command", "KESTRAVO_PASSWORD_COMMAND", "none", OneLine},
        // KESTRAVO_DIRECTIP (HOST[:PORT]) stands for both keys of the section.
        {"directip", "host", "KESTRAVO_DIRECTIP", "none (needed with transport directip)", DirectIpHost},
        {"directip", "port", "KESTRAVO_DIRECTIP", "10800", WholeNumber(1, 65535)},
    };
    return keys;
}

SettingsDialog::SettingsDialog(QString path, OperatorDialogs& dialogs, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::SettingsDialog>()), path_(std::move(path)), dialogs_(dialogs)
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Settings — ") + ApplicationTitle());
    ui->fileLabel->setText(QStringLiteral("Settings file: %1\nAn empty value leaves the key out, and the "
                                          "program uses the value shown in grey.")
                               .arg(path_));
    const QSettings file(path_, QSettings::IniFormat);
    for (const SettingKey& key : SettingKeys()) {
        const QString name = QStringLiteral("%1/%2").arg(QLatin1String(key.section), QLatin1String(key.key));
        auto* edit = new QLineEdit(ui->keysPanel);
        edit->setObjectName(QLatin1String(key.section) + u'_' + QLatin1String(key.key));
        edit->setPlaceholderText(QString::fromUtf8(key.hint));
        const bool overridden = qEnvironmentVariableIsSet(key.variable);
        QString label = QStringLiteral("[%1] %2").arg(QLatin1String(key.section), QLatin1String(key.key));
        if (overridden) {
            edit->setText(qEnvironmentVariable(key.variable));
            edit->setReadOnly(true);
            edit->setToolTip(QStringLiteral("Set by the environment variable %1, which wins over the file")
                                 .arg(QLatin1String(key.variable)));
            label += QStringLiteral(" (from %1)").arg(QLatin1String(key.variable));
        } else {
            edit->setText(file.value(name).toString());
        }
        edit->setAccessibleName(label);
        auto* caption = new QLabel(label, ui->keysPanel);
        caption->setBuddy(edit);
        ui->keysLayout->addRow(caption, edit);
        rows_.push_back({&key, edit, overridden});
    }
    connect(ui->saveButton, &QPushButton::clicked, this, [this] {
        if (Save())
            accept();
    });
    connect(ui->cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui->testButton, &QPushButton::clicked, this, &SettingsDialog::TestConnection);
}

SettingsDialog::~SettingsDialog()
{
    if (test_) {
        test_->OnConnected = nullptr;
        test_->Abort();
    }
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
    return QStringLiteral("%1 [%2] %3").arg(path_, QLatin1String(row.key->section), QLatin1String(row.key->key));
}

bool SettingsDialog::Save()
{
    // Every value is checked before the file is touched: a refused one leaves it as it was.
    for (const Row& row : rows_) {
        if (row.overridden || row.edit->text().isEmpty())
            continue;
        try {
            row.key->check(row.edit->text(), Source(row));
        } catch (const std::exception& e) {
            dialogs_.ShowError(ErrorBoxText(QString::fromUtf8(e.what())));
            row.edit->setFocus();
            row.edit->selectAll();
            return false;
        }
    }
    if (!QDir().mkpath(QFileInfo(path_).absolutePath())) {
        dialogs_.ShowError(ErrorBoxText(QStringLiteral("Cannot create the folder of %1").arg(path_)));
        return false;
    }
    QSettings file(path_, QSettings::IniFormat);
    for (const Row& row : rows_) {
        // The environment's value belongs to the environment; the file keeps its own.
        if (row.overridden)
            continue;
        const QString name = QStringLiteral("%1/%2").arg(QLatin1String(row.key->section), QLatin1String(row.key->key));
        if (row.edit->text().isEmpty())
            file.remove(name);
        else
            file.setValue(name, row.edit->text());
    }
    file.sync();
    if (file.status() != QSettings::NoError) {
        dialogs_.ShowError(ErrorBoxText(QStringLiteral("Cannot write %1").arg(path_)));
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
