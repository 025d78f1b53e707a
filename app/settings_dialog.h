// SPDX-License-Identifier: Apache-2.0
#pragma once
// The settings file in a dialog: one row per key of the table of settings keys, each checked with
// the parser the send uses before anything is written, so a bad value is named here rather than
// at the next send. A file that a send would refuse is said when the dialog opens, and nothing is
// tested or saved until it is mended or the operator starts again from the defaults. Saving
// changes only the lines of changed keys. A key the environment overrides is shown read-only with
// the variable's name. "Test connection" greets the relay and leaves without sending.
#include <QDialog>
#include <QString>

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

namespace endpoints {
struct SettingKey;
}

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

    // What a send would refuse in the file as it was opened, or an empty text.
    QString FileRefusal() const;

public slots:
    // Checks every edited value and writes the file; false (after naming the first bad value)
    // when nothing was written.
    bool Save();
    void TestConnection();
    // Leaves a refused file behind: every key the file set is emptied, and Save writes a new file.
    void StartFromDefaults();

private:
    struct Row {
        const endpoints::SettingKey* key;
        QLineEdit* edit;
        bool overridden;
        QString fileValue; // as opened: a key whose edit still holds it is not written
    };
    QString Source(const Row& row) const;
    void ShowTestResult(const QString& text);
    // The first refusal that stops a test or a save: the file's lines, then each edited value.
    // Names it in a box and puts the focus on the field it is about; false when there is none.
    bool Refused();
    void ShowFileRefusal();

    std::unique_ptr<Ui::SettingsDialog> ui;
    QString path_;
    OperatorDialogs& dialogs_;
    std::vector<Row> rows_;
    std::unique_ptr<send::SbdSend> test_;
    QString fileRefusal_;
    bool fromDefaults_ = false; // the operator chose to leave the refused file behind
};

} // namespace kestravo
