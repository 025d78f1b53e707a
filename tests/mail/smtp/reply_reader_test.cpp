// SPDX-License-Identifier: Apache-2.0
// The reply reader: bytes in, whole replies out, the same whatever pieces the bytes come in.
#include "mail/smtp/smtp_reply_reader.h"
#include "smtp_test_support.h"

#include <gtest/gtest.h>
#include <vector>

using namespace kestravo::mail;
using Fault = SmtpReply::Fault;

namespace {

struct Expected {
    int code;
    QList<QByteArray> lines;
    Fault fault = Fault::None;
};

struct ReaderCase {
    const char* name;
    QByteArray bytes;
    std::vector<Expected> replies;
    QByteArray pending; // what is left over, not yet a whole reply
};

void PrintTo(const ReaderCase& c, std::ostream* os) { *os << c.name; }

// Each way of cutting the bytes the test tries: whole, byte by byte, and in two pieces at many
// places.
std::vector<std::vector<QByteArray>> Cuttings(const QByteArray& bytes)
{
    std::vector<std::vector<QByteArray>> out{{bytes}, {}};
    for (char c : bytes)
        out.back().push_back(QByteArray(1, c));
    const qsizetype step = std::max<qsizetype>(1, bytes.size() / 64);
    for (qsizetype at = 1; at < bytes.size(); at += step)
        out.push_back({bytes.left(at), bytes.mid(at)});
    return out;
}

class SmtpReplyReaderTable : public ::testing::TestWithParam<ReaderCase> {};

} // namespace

TEST_P(SmtpReplyReaderTable, YieldsWholeRepliesWhateverThePieces)
{
    const ReaderCase& rc = GetParam();
    for (const auto& pieces : Cuttings(rc.bytes)) {
        SCOPED_TRACE(testing::Message() << pieces.size() << " pieces, the first of " << pieces.front().size() << " bytes");
        SmtpReplyReader reader;
        std::vector<SmtpReply> got;
        for (const QByteArray& piece : pieces) {
            reader.Feed(piece);
            for (SmtpReply r; reader.Next(r);)
                got.push_back(r);
        }
        ASSERT_EQ(got.size(), rc.replies.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].code, rc.replies[i].code) << "reply " << i;
            EXPECT_EQ(got[i].lines, rc.replies[i].lines) << "reply " << i;
            EXPECT_EQ(int(got[i].fault), int(rc.replies[i].fault)) << "reply " << i;
        }
        EXPECT_EQ(reader.Pending(), rc.pending);
    }
}

const QByteArray kLongText(4093, 'x');

INSTANTIATE_TEST_SUITE_P(
    Cases, SmtpReplyReaderTable,
    ::testing::Values(
        ReaderCase{"one_line", "250 ok\r\n", {{250, {"250 ok"}}}, ""},
        ReaderCase{"bare_lf_ends_a_line_too", "220 relay\n", {{220, {"220 relay"}}}, ""},
        ReaderCase{"code_alone", "354\r\n", {{354, {"354"}}}, ""},
        ReaderCase{"lines_of_one_reply_come_together", "250-relay.example\r\n250-PIPELINING\r\n250 AUTH PLAIN\r\n",
                   {{250, {"250-relay.example", "250-PIPELINING", "250 AUTH PLAIN"}}}, ""},
        ReaderCase{"two_replies_in_a_row", "250 ok\r\n354 go ahead\r\n", {{250, {"250 ok"}}, {354, {"354 go ahead"}}}, ""},
        ReaderCase{"a_reply_without_its_last_line_waits", "250 ok\r\n220-first\r\n220 sec",
                   {{250, {"250 ok"}}}, "220-first\r\n220 sec"},
        ReaderCase{"a_cr_inside_a_line_stays", "250 a\rb\r\n", {{250, {"250 a\rb"}}}, ""},
        // Faults: the offending line is the last of the faulty reply; nothing is read after it.
        ReaderCase{"not_a_reply_line", "OK\r\n250 fine\r\n", {{0, {"OK"}, Fault::NotAReplyLine}}, ""},
        ReaderCase{"sign_before_the_code", "-250 ok\r\n", {{0, {"-250 ok"}, Fault::NotAReplyLine}}, ""},
        ReaderCase{"text_right_after_the_code", "250ok\r\n", {{0, {"250ok"}, Fault::NotAReplyLine}}, ""},
        ReaderCase{"first_digit_out_of_range", "150 ok\r\n650 ok\r\n", {{0, {"150 ok"}, Fault::NotAReplyLine}}, ""},
        ReaderCase{"empty_line", "\r\n", {{0, {""}, Fault::NotAReplyLine}}, ""},
        ReaderCase{"malformed_continuation", "250-first\r\nx250 ok\r\n",
                   {{250, {"250-first", "x250 ok"}, Fault::NotAReplyLine}}, ""},
        ReaderCase{"refusal_ending_with_an_acceptance", "550-no such user\r\n250 ok\r\n",
                   {{250, {"550-no such user", "250 ok"}, Fault::CodeChanged}}, ""},
        ReaderCase{"replies_before_a_fault_stand", "250 ok\r\n25 x\r\n", {{250, {"250 ok"}}, {0, {"25 x"}, Fault::NotAReplyLine}}, ""},
        ReaderCase{"zero_byte_after_a_whole_reply", QByteArray("250 ok\r\n250 o\0k\r\n", 17),
                   {{250, {"250 ok"}}, {0, {}, Fault::ZeroByte}}, ""},
        ReaderCase{"zero_byte_in_a_reply_under_way", QByteArray("250-a\r\n25\0", 10), {{250, {"250-a"}, Fault::ZeroByte}}, ""},
        ReaderCase{"longest_line", "250 " + kLongText.left(4089) + "\r\n", {{250, {"250 " + kLongText.left(4089)}}}, ""},
        ReaderCase{"longest_line_with_a_bare_lf", "250 " + kLongText.left(4090) + "\n",
                   {{250, {"250 " + kLongText.left(4090)}}}, ""},
        ReaderCase{"line_one_byte_too_long", "250 " + kLongText.left(4090) + "\r\n", {{0, {}, Fault::LineTooLong}}, ""},
        ReaderCase{"line_without_an_end", "250 " + kLongText + kLongText, {{0, {}, Fault::LineTooLong}}, ""}),
    [](const ::testing::TestParamInfo<ReaderCase>& i) { return std::string(i.param.name); });

// A relay sending continuation lines without end is cut off, not held without bound.
TEST(SmtpReplyReader, EndlessContinuationIsRefused)
{
    SmtpReplyReader reader;
    const QByteArray line = "250-" + QByteArray(1000, 'x') + "\r\n";
    SmtpReply reply;
    int fed = 0;
    while (!reader.Next(reply) && fed < 2 * SmtpReplyReader::kReplyLimit / line.size()) {
        reader.Feed(line);
        ++fed;
    }
    EXPECT_EQ(int(reply.fault), int(Fault::ReplyTooLong));
    EXPECT_LE(fed * line.size(), SmtpReplyReader::kReplyLimit + line.size());
    reader.Feed("250 ok\r\n");
    EXPECT_FALSE(reader.Next(reply)) << "nothing is read after a fault";
    reader.Clear();
    reader.Feed("220 again\r\n");
    ASSERT_TRUE(reader.Next(reply));
    EXPECT_EQ(reply.code, 220);
}

TEST(SmtpReplyReader, FaultTextsNameTheFaultAndQuoteTheLineAsShown)
{
    const struct {
        SmtpReply reply;
        const char* shown;
        QString text;
    } rows[] = {
        {{0, {"x"}, Fault::NotAReplyLine}, "250\tok\x1b\"", "SMTP protocol error: not an SMTP reply line: \"250\\tok\\x1b\\\"\""},
        {{250, {"550-a", "250 b"}, Fault::CodeChanged, 550}, "250 b",
         "SMTP protocol error: a reply line with code 250 continues a reply with code 550: \"250 b\""},
        {{0, {}, Fault::LineTooLong}, "", "SMTP protocol error: reply line longer than 4093 characters"},
        {{0, {}, Fault::ZeroByte}, "", "SMTP protocol error: the reply holds a zero byte"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.reply.FaultText(QString::fromLatin1(row.shown)), row.text);
}
