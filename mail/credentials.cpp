// SPDX-License-Identifier: Apache-2.0
#include "mail/credentials.h"

#include "mail/smtp/smtp_auth.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMap>
#include <QProcess>
#include <QTimer>

#include <qt6keychain/keychain.h>

namespace kestravo::mail {

namespace {

const QString kKeyringService = QStringLiteral("kestravo");

// How long the keyring may take to answer before it counts as absent.
constexpr int kKeyringWaitMs = 10000;

// Runs a keyring job to its end from a local event loop.
bool RunJob(QKeychain::Job& job, QString& problem)
{
    job.setAutoDelete(false);
    QEventLoop loop;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(kKeyringWaitMs, &loop, &QEventLoop::quit);
    bool finished = false;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, [&finished] { finished = true; });
    job.start();
    if (!finished)
        loop.exec();
    if (!finished) {
        problem = QStringLiteral("the keyring did not answer");
        return false;
    }
    if (job.error() != QKeychain::NoError) {
        problem = job.error() == QKeychain::EntryNotFound ? QStringLiteral("no password stored for %1").arg(job.key())
                                                          : job.errorString();
        return false;
    }
    return true;
}

// A QCoreApplication must exist for the keyring's event loop; the tool may not have one yet.
struct AppGuard {
    std::unique_ptr<QCoreApplication> app;
    AppGuard()
    {
        if (!QCoreApplication::instance()) {
            static int argc = 1;
            static char name[] = "kestravo";
            static char* argv[] = {name, nullptr};
            app = std::make_unique<QCoreApplication>(argc, argv);
        }
    }
};

// Passwords the operator typed in the window, kept for the rest of the run.
QMap<QString, std::shared_ptr<const QByteArray>>& PromptCache()
{
    static QMap<QString, std::shared_ptr<const QByteArray>> cache;
    return cache;
}

} // namespace

std::shared_ptr<const QByteArray> MakeSecret(QByteArray bytes)
{
    auto* held = new QByteArray(bytes.constData(), bytes.size());
    WipeBytes(bytes);
    return std::shared_ptr<const QByteArray>(held, [](const QByteArray* p) {
        auto* q = const_cast<QByteArray*>(p);
        WipeBytes(*q);
        delete q;
    });
}

bool SplitCommandLine(const QString& text, QStringList& words, QString& error)
{
    words.clear();
    QString word;
    bool inWord = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u' ' || c == u'\t') {
            if (inWord)
                words.append(word);
            word.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == u'\'') {
            const qsizetype end = text.indexOf(u'\'', i + 1);
            if (end < 0) {
                error = QStringLiteral("a ' is not closed");
                return false;
            }
            word += text.mid(i + 1, end - i - 1);
            i = end;
        } else if (c == u'"') {
            qsizetype j = i + 1;
            for (; j < text.size() && text[j] != u'"'; ++j) {
                if (text[j] == u'\\' && j + 1 < text.size() && (text[j + 1] == u'"' || text[j + 1] == u'\\'))
                    ++j;
                word += text[j];
            }
            if (j >= text.size()) {
                error = QStringLiteral("a \" is not closed");
                return false;
            }
            i = j;
        } else if (c == u'\\') {
            if (i + 1 >= text.size()) {
                error = QStringLiteral("it ends with a backslash");
                return false;
            }
            word += text[++i];
        } else {
            word += c;
        }
    }
    if (inWord)
        words.append(word);
    if (words.isEmpty()) {
        error = QStringLiteral("it is empty");
        return false;
    }
    return true;
}

QByteArray RunPasswordCommand(const QString& command, int timeoutSeconds)
{
    QStringList words;
    QString error;
    if (!SplitCommandLine(command, words, error))
        throw CredentialError(QStringLiteral("password_command cannot be read: %1").arg(error).toStdString());
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice()); // its complaints could hold the secret
    process.start(words.takeFirst(), words);
    if (!process.waitForStarted(5000))
        throw CredentialError(QStringLiteral("password_command %1 cannot be started: %2")
                                  .arg(process.program(), process.errorString()).toStdString());
    if (!process.waitForFinished(timeoutSeconds * 1000)) {
        process.kill();
        process.waitForFinished(1000);
        throw CredentialError(QStringLiteral("password_command %1 did not finish within %2 seconds")
                                  .arg(process.program()).arg(timeoutSeconds).toStdString());
    }
    QByteArray out = process.readAllStandardOutput();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        WipeBytes(out);
        throw CredentialError(QStringLiteral("password_command %1 failed (exit status %2)")
                                  .arg(process.program()).arg(process.exitCode()).toStdString());
    }
    qsizetype end = out.indexOf('\n');
    if (end < 0)
        end = out.size();
    if (end > 0 && out[end - 1] == '\r')
        --end;
    QByteArray line(out.constData(), end);
    WipeBytes(out);
    if (line.isEmpty())
        throw CredentialError(QStringLiteral("password_command %1 printed no password").arg(process.program()).toStdString());
    return line;
}

QString KeyringKey(const Endpoints& e)
{
    const bool v6 = e.relayHost.contains(u':');
    return QStringLiteral("%1@%2:%3").arg(e.user, v6 ? u'[' + e.relayHost + u']' : e.relayHost, e.relayPort);
}

std::optional<QByteArray> ReadKeyringPassword(const Endpoints& e, QString& problem)
{
    AppGuard guard;
    QKeychain::ReadPasswordJob job(kKeyringService);
    job.setKey(KeyringKey(e));
    if (!RunJob(job, problem))
        return std::nullopt;
    QByteArray data = job.binaryData();
    if (data.isEmpty()) {
        problem = QStringLiteral("the stored password for %1 is empty").arg(KeyringKey(e));
        return std::nullopt;
    }
    return data;
}

void WriteKeyringPassword(const Endpoints& e, const QByteArray& password)
{
    AppGuard guard;
    QKeychain::WritePasswordJob job(kKeyringService);
    job.setKey(KeyringKey(e));
    job.setBinaryData(password);
    QString problem;
    if (!RunJob(job, problem))
        throw CredentialError(QStringLiteral("the keyring did not store the password: %1").arg(problem).toStdString());
}

void ClearKeyringPassword(const Endpoints& e)
{
    AppGuard guard;
    QKeychain::DeletePasswordJob job(kKeyringService);
    job.setKey(KeyringKey(e));
    QString problem;
    if (!RunJob(job, problem) && !problem.startsWith(QStringLiteral("no password stored")))
        throw CredentialError(QStringLiteral("the keyring did not remove the password: %1").arg(problem).toStdString());
}

void FetchPassword(Endpoints& e, const PasswordPrompt& prompt)
{
    if (e.user.isEmpty() || e.password)
        return;
    if (!e.passwordCommand.isEmpty()) {
        // A command that was named and fails is an error of its own, not a reason to look elsewhere.
        e.password = MakeSecret(RunPasswordCommand(e.passwordCommand, e.timeoutSeconds));
        return;
    }
    QString problem;
    if (std::optional<QByteArray> stored = ReadKeyringPassword(e, problem)) {
        e.password = MakeSecret(*stored);
        WipeBytes(*stored);
        return;
    }
    const QString key = KeyringKey(e);
    if (const auto cached = PromptCache().value(key)) {
        e.password = cached;
        return;
    }
    if (prompt) {
        std::optional<QString> typed = prompt(QStringLiteral("Password for %1").arg(key));
        if (!typed || typed->isEmpty())
            throw CredentialError(QStringLiteral("no password was given for %1").arg(key).toStdString());
        e.password = MakeSecret(typed->toUtf8());
        typed->fill(QChar(0));
        PromptCache().insert(key, e.password);
        return;
    }
    throw CredentialError(QStringLiteral("no password for %1: store one with \"kestravo-record password set\" or name a "
                                         "command that prints it with password_command (keyring: %2)")
                              .arg(key, problem).toStdString());
}

} // namespace kestravo::mail
