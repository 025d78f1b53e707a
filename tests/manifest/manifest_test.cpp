// SPDX-License-Identifier: Apache-2.0
#include "tools/record_tool/manifest.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace kestravo {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

struct ExpectedRow {
    int line;
    std::string imei;
    Fields fields;
};

struct ExpectedProblem {
    int line;
    std::string containing; // a part of the message
};

struct Case {
    const char* name;
    std::string text;
    std::vector<ExpectedRow> rows;
    std::vector<ExpectedProblem> problems;
};

const std::string kA = "300234010753370";
const std::string kB = "300234010753371";

std::vector<Case> Cases() {
    return {
        {"plain LF", "IMEI,Password,SendInterval\n" + kA + ",1234,60\n" + kB + ",99,5\n",
         {{2, kA, {{"Password", "1234"}, {"SendInterval", "60"}}}, {3, kB, {{"Password", "99"}, {"SendInterval", "5"}}}},
         {}},
        {"IMEI only, no final line break", "IMEI\n" + kA, {{2, kA, {}}}, {}},
        {"IMEI need not come first", "Password,IMEI\n7," + kA + "\n", {{2, kA, {{"Password", "7"}}}}, {}},
        {"BOM and CRLF", "\xEF\xBB\xBFIMEI,Password\r\n" + kA + ",1\r\n" + kB + ",2\r\n",
         {{2, kA, {{"Password", "1"}}}, {3, kB, {{"Password", "2"}}}},
         {}},
        {"lone CR ends a line too", "IMEI,Password\r" + kA + ",1\r", {{2, kA, {{"Password", "1"}}}}, {}},
        {"blank lines and a trailing blank line are ignored", "\nIMEI,Password\n\n" + kA + ",1\n  \n" + kB + ",2\n\n",
         {{4, kA, {{"Password", "1"}}}, {6, kB, {{"Password", "2"}}}},
         {}},
        {"empty cell passes as empty text", "IMEI,Password,SendInterval\n" + kA + ",,60\n",
         {{2, kA, {{"Password", ""}, {"SendInterval", "60"}}}},
         {}},
        {"quoted header and fields, quoted comma", "\"IMEI\",\"Password\"\n\"" + kA + "\",\"1,2\"\n",
         {{2, kA, {{"Password", "1,2"}}}},
         {}},
        {"doubled quote inside quotes", "IMEI,Password\n" + kA + ",\"say \"\"hi\"\"\"\n",
         {{2, kA, {{"Password", "say \"hi\""}}}},
         {}},
        {"quoted line break counts as a physical line", "IMEI,Password\n" + kA + ",\"a\r\nb\nc\"\n" + kB + ",2\n",
         {{2, kA, {{"Password", "a\r\nb\nc"}}}, {5, kB, {{"Password", "2"}}}},
         {}},
        {"IMEI with plus and minus", "IMEI\n+-0234010753370\n", {{2, "+-0234010753370", {}}}, {}},

        {"empty manifest", "", {}, {{1, "empty"}}},
        {"only a BOM and blank lines", "\xEF\xBB\xBF\n\r\n", {}, {{1, "empty"}}},
        {"unknown column", "IMEI,Pasword\n" + kA + ",1\n", {}, {{1, "unknown column \"Pasword\""}}},
        {"column names are exact", "IMEI, Password\n" + kA + ",1\n", {}, {{1, "unknown column \" Password\""}}},
        {"duplicate column", "IMEI,Password,Password\n" + kA + ",1,2\n", {}, {{1, "\"Password\" is given twice"}}},
        {"duplicate IMEI column", "IMEI,IMEI\n" + kA + "," + kA + "\n", {}, {{1, "\"IMEI\" is given twice"}}},
        {"missing IMEI column", "Password\n1\n", {}, {{1, "no IMEI column"}}},
        {"imei is case sensitive", "imei\n" + kA + "\n", {}, {{1, "unknown column \"imei\""}, {1, "no IMEI column"}}},
        {"header problem on a later line", "\n\nIMEI,Bogus\n" + kA + ",1\n", {}, {{3, "unknown column \"Bogus\""}}},
        {"duplicate IMEI", "IMEI,Password\n" + kA + ",1\n" + kB + ",2\n" + kA + ",3\n",
         {{2, kA, {{"Password", "1"}}}, {3, kB, {{"Password", "2"}}}},
         {{4, "IMEI " + kA + " is given again (first on line 2)"}}},
        {"short and long rows", "IMEI,Password,SendInterval\n" + kA + ",1\n" + kB + ",1,2,3\n", {},
         {{2, "the row has 2 fields, the header 3"}, {3, "the row has 4 fields, the header 3"}}},
        {"bad IMEIs", "IMEI\n30023401075337\n3002340107533701\n30023401075337x\n\"\"\n", {},
         {{2, "IMEI \"30023401075337\" is not 15"},
          {3, "is not 15"},
          {4, "IMEI \"30023401075337x\""},
          {5, "IMEI \"\""}}},
        {"control bytes in a bad IMEI are shown escaped", "IMEI\n\"30023401\x01\n75337\"\n", {},
         {{2, "IMEI \"30023401\\x01\\n75337\""}}},
        {"unterminated quote names the line it opens on", "IMEI,Password\n" + kA + ",1\n" + kB + ",\"2\n\n",
         {{2, kA, {{"Password", "1"}}}},
         {{3, "not closed"}}},
        {"unterminated quote in the header", "IMEI,\"Password\n" + kA + ",1\n", {}, {{1, "not closed"}}},
        {"text after a closing quote", "IMEI,Password\n" + kA + ",\"1\"2\n" + kB + ",3\n",
         {{3, kB, {{"Password", "3"}}}},
         {{2, "after the closing quote"}}},
        {"quote inside an unquoted field", "IMEI,Password\n" + kA + ",1\"2\n", {}, {{2, "a quote inside"}}},
        {"problems on later lines do not hide good rows", "IMEI\n" + kA + "\nbad\n" + kB + "\n",
         {{2, kA, {}}, {4, kB, {}}},
         {{3, "IMEI \"bad\""}}},
    };
}

TEST(ParseManifest, TableOfInputs) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        const Manifest m = ParseManifest(c.text);
        ASSERT_EQ(m.rows.size(), c.rows.size());
        for (std::size_t i = 0; i < c.rows.size(); ++i) {
            EXPECT_EQ(m.rows[i].line, c.rows[i].line) << "row " << i;
            EXPECT_EQ(m.rows[i].imei, c.rows[i].imei) << "row " << i;
            EXPECT_EQ(m.rows[i].fields, c.rows[i].fields) << "row " << i;
        }
        ASSERT_EQ(m.problems.size(), c.problems.size());
        for (std::size_t i = 0; i < c.problems.size(); ++i) {
            EXPECT_EQ(m.problems[i].line, c.problems[i].line) << m.problems[i].message;
            EXPECT_NE(m.problems[i].message.find(c.problems[i].containing), std::string::npos)
                << m.problems[i].message;
        }
    }
}

TEST(ParseManifest, ColumnsKeepTheHeaderAsWritten) {
    const Manifest m = ParseManifest("\xEF\xBB\xBFPassword,IMEI,In1ShortEvent\r\n");
    EXPECT_EQ(m.columns, (std::vector<std::string>{"Password", "IMEI", "In1ShortEvent"}));
    EXPECT_TRUE(m.rows.empty());
    EXPECT_TRUE(m.problems.empty());
}

// Every prefix of a valid manifest with quotes and line breaks, and a few hostile byte strings:
// the parser returns (no crash, no hang) and every problem has a line inside the text.
TEST(ParseManifest, TruncatedAndHostileInputsEndWithProblemsInRange) {
    const std::string full = "\xEF\xBB\xBFIMEI,Password\r\n\"" + kA + "\",\"a,\"\"b\"\"\r\nc\"\r\n" + kB + ",2\r\n";
    std::vector<std::string> inputs;
    for (std::size_t n = 0; n <= full.size(); ++n) inputs.push_back(full.substr(0, n));
    inputs.push_back(std::string(1000, '"'));
    inputs.push_back(std::string(1000, ','));
    inputs.push_back(std::string("IMEI\n\0\0\0", 8));
    inputs.push_back("\r\r\r\n\n\"");
    for (const std::string& input : inputs) {
        const Manifest m = ParseManifest(input);
        int lines = 1;
        for (const char c : input) lines += c == '\n' || c == '\r';
        for (const ManifestProblem& p : m.problems) {
            EXPECT_GE(p.line, 1) << p.message;
            EXPECT_LE(p.line, lines) << p.message;
        }
    }
}

} // namespace
} // namespace kestravo
