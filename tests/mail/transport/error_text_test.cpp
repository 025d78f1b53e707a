// SPDX-License-Identifier: Apache-2.0
// Error numbers and texts, and the dotted-address test.
#include "mail/transport/wsocket.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace kestravo::mail {
namespace {

TEST(WSocketErrorText, DescriptionsOfTheCodesTheClientMeets)
{
    const struct { int code; const char* text; } rows[] = {
        {0, "No Error"}, {10004, "Interrupted system call"}, {10009, "Bad file number"},
        {10013, "Permission denied"}, {10022, "Invalid argument"}, {10035, "Operation would block"},
        {10038, "Socket operation on non-socket"}, {10048, "Address already in use"},
        {10049, "Address not available"}, {10050, "Network is down"}, {10051, "Network is unreachable"},
        {10053, "Connection aborted"}, {10054, "Connection reset by peer"}, {10055, "No buffer space available"},
        {10057, "Socket is not connected"}, {10060, "Connection timed out"}, {10061, "Connection refused"},
        {10064, "Host is down"}, {10065, "No route to host"},
        {10092, "WinSock DLL cannot support this application"}, {10093, "WinSock not initialized"},
        {11001, "Host not found"}, {11002, "Non-authoritative host not found"},
        {11003, "Non-recoverable error"}, {11004, "No Data"},
        // Codes outside the table, including neighbours of table entries.
        {1, "Not a WinSock error"}, {10000, "Not a WinSock error"}, {10034, "Not a WinSock error"},
        {10072, "Not a WinSock error"}, {10090, "Not a WinSock error"}, {11000, "Not a WinSock error"},
        {11005, "Not a WinSock error"}, {-1, "Not a WinSock error"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(WSocketErrorDesc(r.code).toStdString(), r.text) << "code " << r.code;
}

TEST(WSocketErrorText, TableHoldsExactlyTheListedCodes)
{
    std::vector<int> known;
    for (int code = -10; code < 12000; ++code)
        if (WSocketErrorDesc(code) != QLatin1String("Not a WinSock error"))
            known.push_back(code);
    std::vector<int> expected = {0, 10004, 10009, 10013, 10014, 10022, 10024};
    for (int c = 10035; c <= 10071; ++c)
        expected.push_back(c);
    for (int c : {10091, 10092, 10093, 11001, 11002, 11003, 11004})
        expected.push_back(c);
    EXPECT_EQ(known, expected);
    EXPECT_EQ(expected.size(), 51u);
}

TEST(WSocketErrorText, MessageFormsWrapTheDescription)
{
    EXPECT_EQ(WSocketErrorMsgFromErrorCode(10061).toStdString(), "Winsock - Connection refused");
    EXPECT_EQ(WSocketErrorMsgFromErrorCode(12345).toStdString(), "Winsock - Not a WinSock error");
    EXPECT_EQ(GetWinsockErr(11001).toStdString(), "Host not found (#11001)");
    EXPECT_EQ(GetWinsockErr(0).toStdString(), "No Error (#0)");
}

TEST(WSocketErrorText, SystemErrorsMapToWindowsSocketsNumbers)
{
    const struct { int err; int code; } rows[] = {
        {ECONNREFUSED, 10061}, {ETIMEDOUT, 10060}, {ECONNRESET, 10054}, {ENOTCONN, 10057},
        {EPIPE, 10054}, {EHOSTUNREACH, 10065}, {ENETUNREACH, 10051}, {EADDRINUSE, 10048},
        {EADDRNOTAVAIL, 10049}, {EWOULDBLOCK, 10035}, {EAGAIN, 10035}, {EINPROGRESS, 10035},
        {EINVAL, 10022}, {EBADF, 10038}, {ENOTSOCK, 10038}, {EACCES, 10013}, {EMFILE, 10024},
        {ECONNABORTED, 10053}, {ENETDOWN, 10050}, {EHOSTDOWN, 10064}, {ENOBUFS, 10055}, {EINTR, 10004},
        {0, 0},
        // Anything unlisted is still a failure, never 0.
        {EIO, 10022},
    };
    for (const auto& r : rows)
        EXPECT_EQ(WSocketErrorFromErrno(r.err), r.code) << "errno " << r.err;
}

TEST(WSocketIsDottedIP, AcceptsFourNumbersBelow256WithSpacesOnlyAroundThem)
{
    const struct { const char* text; bool dotted; } rows[] = {
        {"127.0.0.1", true}, {"0.0.0.0", true}, {"255.255.255.255", true}, {"  10.1.2.3", true},
        {"10.1.2.3   ", true}, {"010.001.2.3", true},
        {"", false}, {"   ", false}, {"1.2.3", false}, {"1.2.3.4.5", false}, {"1.2.3.256", false},
        {".1.2.3", false}, {"1.2.3.4.", false}, {"1..2.3", false}, {"1.2. 3.4", false},
        {"1.2.3.4x", false}, {"1.2.3.4 x", false}, {"\t1.2.3.4", false}, {"localhost", false},
        {"-1.2.3.4", false}, {"99999999999.1.1.1", false},
    };
    for (const auto& r : rows)
        EXPECT_EQ(WSocketIsDottedIP(QString::fromLatin1(r.text)), r.dotted) << "'" << r.text << "'";
}

TEST(LocalHostName, GivesTheSystemName)
{
    EXPECT_FALSE(LocalHostName().isEmpty());
}

} // namespace
} // namespace kestravo::mail
