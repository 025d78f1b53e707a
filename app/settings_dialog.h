// SPDX-License-Identifier: Apache-2.0
#pragma once
// The settings file in a dialog: one row per key, each checked with the parser the send uses
// before anything is written, so a bad value is named here rather than at the next send. A key
// the environment overrides is shown read-only with the variable's name. "Test connection" greets
// the relay and leaves without sending.
#include <QDialog>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QLineEdit;

namespace Ui {
class SettingsDialog;
}

namespace kestravo {

class OperatorDialogs;

namespace send {
class SbdSend;
}

// One key of the settings file. check throws endpoints::EndpointError naming source when the text is
// not a value the programs accept.
struct SettingKey {
    const char* section;
    const char* key;
    const char* variable; // the environment variable that wins over the file
    const char* hint;     // shown in an empty edit: the value used when the key is not set
    std::function<void(const QString& text, const QString& source)> check;
};

// Every key the dialog edits, in the order shown. A new key is one more row here.
const std::vector<SettingKey>& SettingKeys();

class SettingsDialog : public QDialog {
    Q_OBJECT

public:
    // path: the settings file (endpoints::EndpointsConfigPath() by default). dialogs shows the refusals.
    SettingsDialog(QString path, OperatorDialogs& dialogs, QWidget* parent = nullptr);
    ~SettingsDialog() override;

    // The edit of section/key, or nullptr.
    QLineEdit* Edit(const QString& section, const QString& key) const;
    // What "Test connection" last found.
    QString TestResult() const;

public slots:
    // Checks every edited value and writes the file; false (after naming the first bad value)
    // when nothing was written.
    bool Save();
    void TestConnection();

private:
    struct Row {
        const SettingKey* key;
        QLineEdit* edit;
        bool overridden;
    };
    QString Source(const Row& row) const;
    void ShowTestResult(const QString& text);

    std::unique_ptr<Ui::SettingsDialog> ui;
    QString path_;
    OperatorDialogs& dialogs_;
    std::vector<Row> rows_;
    std::unique_ptr<send::SbdSend> test_;
};

} // namespace kestravo
