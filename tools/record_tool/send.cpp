// kestravo-record send: mails a record file to the SBD gateway through the relay, with the same
// client and the same message as the window's send command, without a window.
#include "tools/record_tool/cli.h"
#include "tools/record_tool/tool.h"

#include "mail/endpoints.h"
#include "mail/smtp/smtpcli.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <iostream>
#include <optional>

namespace kestravo::tool {

namespace {

using mail::TCustomSmtpClient;
using mail::TSmtpCli;
using mail::TSmtpRequest;

struct SendRequest {
    std::string imei;
    std::string relayHost = kRelayHost;
    std::string relayPort = kRelayService;
    std::string from = kSenderAddress;
    std::string to = kGatewayAddress;
    std::string file;
    int timeoutSeconds = 120;
};

// Gateways take the IMEI as the subject; the window lets an operator type only these characters.
bool IsImeiText(const std::string& imei) {
    if (imei.size() != 15) return false;
    for (char c : imei)
        if (!((c >= '0' && c <= '9') || c == '+' || c == '-')) return false;
    return true;
}

// A header value or an envelope address with a line break could add lines to the message.
bool HasControlCharacters(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

std::optional<SendRequest> ParseSendArgs(Args args) {
    QCommandLineParser parser;
    const auto valued = [](const char* name, const char* valueName) {
        return QCommandLineOption(QLatin1String(name), QString(), QLatin1String(valueName));
    };
    parser.addOptions({valued("imei", "IMEI"), valued("relay", "HOST[:PORT]"), valued("from", "ADDR"),
                       valued("to", "ADDR"), valued("timeout", "SECONDS")});
    if (ParseSubcommand(parser, "send", args)) return std::nullopt;
    SendRequest request;
    const auto single = [&](const char* name) { return SingleValue(parser, QLatin1String(name), "send"); };
    if (const auto imei = single("imei")) request.imei = LocalText(*imei);
    if (const auto relayOption = single("relay")) {
        const std::string relay = LocalText(*relayOption);
        const auto colon = relay.rfind(':');
        request.relayHost = relay.substr(0, colon);
        if (colon != std::string::npos) request.relayPort = relay.substr(colon + 1);
        if (request.relayHost.empty() || request.relayPort.empty())
            throw ToolFailure(kExitRefused, "--relay takes HOST or HOST:PORT, not \"" + relay + "\"");
    }
    if (const auto from = single("from")) request.from = LocalText(*from);
    if (const auto to = single("to")) request.to = LocalText(*to);
    if (const auto timeout = single("timeout"))
        request.timeoutSeconds = int(ParseWholeNumber(*timeout, 1, 86400, "--timeout"));
    const QStringList files = parser.positionalArguments();
    if (files.size() > 1) throw ToolFailure(kExitRefused, "more than one record file given");
    if (files.isEmpty()) throw ToolFailure(kExitRefused, "send needs a record file");
    request.file = LocalText(files.constFirst());
    if (request.imei.empty()) throw ToolFailure(kExitRefused, "send needs --imei IMEI");
    if (!IsImeiText(request.imei))
        throw ToolFailure(kExitRefused, "the IMEI must be 15 characters of digits, \"+\" or \"-\", not \"" +
                                            request.imei + "\"");
    for (const std::string* text : {&request.from, &request.to, &request.relayHost, &request.relayPort})
        if (text->empty() || HasControlCharacters(*text))
            throw ToolFailure(kExitRefused, "relay, sender and gateway must be plain one-line texts");
    return request;
}

// Connect, mail, quit; when a relay that wants a greeting answers 503 to the mail request, greet
// with HELO and mail once more.
class HeadlessSend {
public:
    HeadlessSend(const SendRequest& request, const QString& attachment) : request_(request) {
        client_.SetHost(QString::fromStdString(request.relayHost));
        client_.SetPort(QString::fromStdString(request.relayPort));
        client_.SetCharSet(QStringLiteral("windows-1251"));
        client_.RcptName().clear();
        client_.RcptName().append(QString::fromStdString(request.to));
        client_.SetHdrFrom(QString::fromStdString(request.from));
        client_.SetHdrTo(QString::fromStdString(request.to));
        client_.SetHdrSubject(QString::fromStdString(request.imei));
        client_.SetSignOn(QString());
        client_.SetFromName(QString::fromStdString(request.from));
        client_.SetEmailFiles({attachment});
        client_.OnGetData = [](TCustomSmtpClient*, int, char*, int, bool& more) { more = false; };
        client_.OnRequestDone = [this](TCustomSmtpClient*, TSmtpRequest rq, std::uint16_t code) {
            RequestDone(rq, code);
        };
    }

    // Runs the exchange to its end; the result code of the mail request (0 = accepted).
    int Run() {
        QTimer deadline;
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, [this] {
            timedOut_ = true;
            client_.Abort();
            QCoreApplication::exit(0);
        });
        deadline.start(request_.timeoutSeconds * 1000);
        client_.Connect(); // refusals (an empty host) leave as exceptions
        QCoreApplication::exec();
        // A relay that took the message and then never closed after QUIT has still taken it:
        // reporting a failure there would make a script send the configuration twice.
        if (timedOut_ && !mailCode_)
            throw ToolFailure(1, "the relay did not finish within " + std::to_string(request_.timeoutSeconds) +
                                     " seconds; nothing is known to be sent");
        return mailCode_.value_or(500);
    }

    std::string Reply() const {
        const QString text = client_.ErrorMessage().isEmpty() ? client_.LastResponse() : client_.ErrorMessage();
        return (connectError_.isEmpty() ? text : connectError_).toStdString();
    }

private:
    void RequestDone(TSmtpRequest rq, std::uint16_t code) {
        try {
            switch (rq) {
            case mail::smtpConnect:
                // As in the window: the mail request runs anyway and reports 500 without a connection.
                if (code != 0) connectError_ = client_.ErrorMessage();
                client_.Mail();
                break;
            case mail::smtpMail:
                // Greeting a relay that has hung up would only hide its 503 behind a 500.
                if (code == 503 && !greeted_ && client_.Socket()->State() == mail::wsConnected) {
                    greeted_ = true;
                    client_.Helo();
                    break;
                }
                mailCode_ = code;
                client_.Quit();
                break;
            case mail::smtpHelo:
                if (code == 0) {
                    client_.Mail();
                } else {
                    // A relay that hung up right after its 503 has said all it will say.
                    mailCode_ = code == 10004 ? 503 : code;
                    client_.Quit();
                }
                break;
            case mail::smtpQuit:
                QCoreApplication::exit(0);
                break;
            default:
                break;
            }
        } catch (const std::exception& failure) {
            if (!mailCode_) mailCode_ = 500;
            connectError_ = QString::fromUtf8(failure.what());
            QCoreApplication::exit(0);
        }
    }

    const SendRequest& request_;
    TSmtpCli client_;
    std::optional<int> mailCode_;
    bool greeted_ = false;
    bool timedOut_ = false;
    QString connectError_;
};

} // namespace

int RunSend(Args args) {
    const std::optional<SendRequest> parsed = ParseSendArgs(args);
    if (!parsed) return kExitOk;
    const SendRequest& request = *parsed;
    const TConfigRecord record = ReadRecordFile(request.file);

    int argc = 1;
    char name[] = "kestravo-record";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);

    // The attachment keeps the window's name, "temp.sbd", in a folder only this user can read.
    QTemporaryDir folder;
    if (!folder.isValid())
        throw ToolFailure(kExitIoFailure, "cannot make a private folder for the attachment: " +
                                              folder.errorString().toStdString());
    const QString attachment = QDir(folder.path()).filePath(QStringLiteral("temp.sbd"));
    QFile out(attachment);
    if (!out.open(QIODevice::WriteOnly) ||
        out.write(reinterpret_cast<const char*>(record.data()), record.size()) != qint64(record.size()) ||
        !out.flush())
        throw ToolFailure(kExitIoFailure, "cannot write the attachment " + attachment.toStdString() + ": " +
                                              out.errorString().toStdString());
    out.close();

    HeadlessSend send(request, attachment);
    const int code = send.Run();
    if (code != 0)
        throw ToolFailure(1, "the relay did not accept the message: error code " + std::to_string(code) +
                                 (send.Reply().empty() ? std::string() : ": " + send.Reply()));
    std::cout << "Mail sended\nError code 0\n";
    return kExitOk;
}

} // namespace kestravo::tool
