// SPDX-License-Identifier: Apache-2.0
#pragma once
// Name lookup for the socket, and the addresses a connection tries in turn.
//
// HostResolver answers what an address text stands for: a numeric address (IPv4 dotted, or IPv6
// with or without brackets) itself, a name every address the system's resolver gives, in its
// order (RFC 6724), each once. An asynchronous lookup runs the resolver on a thread of its own
// and announces its answer through a callback the socket turns into a posted message.
// AddressAttempts walks such a list for Connect and keeps what the failed attempts have to report.
// Resolver failures carry the Windows Sockets numbers 11001 to 11004.
#include <QString>
#include <QStringList>

#include <sys/socket.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

namespace kestravo::mail {

// A remote or local socket address of either family.
struct SockAddr {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int Family() const { return storage.ss_family; }
    const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&storage); }
    // The numeric text: dotted IPv4, or IPv6 in its shortest form (with a zone, if any).
    QString Text() const;
};

// A failure while resolving what Connect needs; carries the error number reported.
class ResolveError : public std::runtime_error {
public:
    ResolveError(const QString& text, int code) : std::runtime_error(text.toStdString()), code_(code) {}
    int code_;
};

class HostResolver {
public:
    // Answers at once with numeric addresses, or with a resolver error (11001..11004); replaces
    // the system resolver for every socket of the process while set (tests have no outside DNS).
    using NameResolver = std::function<QStringList(const QString& host, int& errorCode)>;
    static void SetNameResolver(NameResolver resolver);

    HostResolver();
    ~HostResolver();
    HostResolver(const HostResolver&) = delete;
    HostResolver& operator=(const HostResolver&) = delete;

    // The answer to a numeric address, known without a lookup ("255.255.255.255" is not one:
    // it goes to the resolver); false for a name.
    static bool NumericAnswer(const QString& host, QString& address);

    // Starts looking up a name, forgetting a lookup still pending. notify(token) is called once
    // the answer is in, possibly from another thread and possibly before Start returns, unless
    // the lookup was cancelled first; the answer is then taken with Take(token, ...).
    void Start(const QString& host, std::function<void(quintptr token)> notify);
    // Stops waiting: a resolver call cannot be interrupted, so its worker finishes and finds
    // nobody waiting.
    void Cancel();
    // The answer of the lookup token: false when it is not the one awaited (cancelled, or
    // replaced by a newer one).
    bool Take(quintptr token, QStringList& addresses, int& error);

    // What Connect resolves, blocking; failures throw ResolveError with their texts.
    static int ResolveProto(const QString& text);
    static int ResolvePort(const QString& text, const QString& protoText);
    static std::vector<SockAddr> ResolveHost(const QString& text, quint16 port);
    // The any-address of a family, with a port.
    static SockAddr AnyAddress(int family, quint16 port);
    static bool IsAnyAddress(const QString& text);

private:
    struct Ticket;
    std::shared_ptr<Ticket> ticket_;
    quintptr pending_ = 0;
    quintptr counter_ = 0;
};

// The addresses of one Connect, tried in order.
class AddressAttempts {
public:
    void Reset(std::vector<SockAddr> addresses);
    bool Valid() const { return index_ < addresses_.size(); }
    const SockAddr& Current() const { return addresses_[index_]; }
    bool HasNext() const { return index_ + 1 < addresses_.size(); }
    void Advance() { ++index_; }
    // Records an attempt's failure; returns the code to report should no address be left. An
    // error that says only that this machine cannot reach that family (no IPv6 here) never
    // hides another address's answer: a relay refusing on IPv4 still reads 10061.
    int Failed(int code);

private:
    std::vector<SockAddr> addresses_;
    std::size_t index_ = 0;
    int reported_ = 0;
};

bool WSocketIsDottedIP(const QString& text);
QString LocalHostName(); // throws ESocketException "Winsock Get Host Name failed"

} // namespace kestravo::mail
