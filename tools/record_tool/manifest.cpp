// SPDX-License-Identifier: Apache-2.0
#include "tools/record_tool/manifest.h"

#include "record/config_record.h"
#include "tools/record_tool/diagnostic.h"

#include <cstdio>
#include <map>
#include <optional>
#include <set>

namespace kestravo {

namespace {

constexpr std::string_view kImeiColumn = "IMEI";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// A value shown in a message: quoted, control characters escaped as every diagnostic escapes them,
// non-ASCII bytes as \xNN, long ones cut.
std::string Shown(std::string_view text) {
    constexpr std::size_t kMaxShown = 40;
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size() && i < kMaxShown; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            out += EscapeControls(text.substr(i, 1));
        } else if (c > 0x7f) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\x%02X", c);
            out += buffer;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (text.size() > kMaxShown) out += "...";
    return out + "\"";
}

struct CsvRecord {
    int line = 0;
    std::vector<std::string> fields;
    bool blank = false;   // an empty or all-blank line
    bool broken = false;  // a problem was reported for it; its fields are not to be trusted
};

// Splits RFC 4180 text into records. A line break is CRLF, LF or a lone CR; inside quotes it is
// part of the field and still counts as a physical line.
class CsvReader {
public:
    CsvReader(std::string_view text, std::vector<ManifestProblem>& problems) : text_(text), problems_(problems) {}

    std::optional<CsvRecord> Next() {
        if (pos_ >= text_.size() || stopped_) return std::nullopt;
        CsvRecord record;
        record.line = line_;
        bool anyQuoted = false;
        for (;;) {
            std::string field;
            if (Peek() == '"') {
                anyQuoted = true;
                if (!ReadQuoted(field, record)) {
                    record.fields.push_back(std::move(field));
                    return record;
                }
            } else {
                ReadUnquoted(field, record);
            }
            record.fields.push_back(std::move(field));
            if (pos_ < text_.size() && text_[pos_] == ',') {
                ++pos_;
                continue;
            }
            SkipLineBreak();
            break;
        }
        record.blank = !anyQuoted && record.fields.size() == 1 &&
                       record.fields[0].find_first_not_of(" \t") == std::string::npos;
        return record;
    }

private:
    int Peek() const { return pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_]) : -1; }
    bool AtLineBreak() const { return Peek() == '\n' || Peek() == '\r'; }

    void SkipLineBreak() {
        if (Peek() == '\r') ++pos_;
        else if (Peek() == '\n') ++pos_;
        else return;
        if (pos_ < text_.size() && text_[pos_ - 1] == '\r' && text_[pos_] == '\n') ++pos_;
        ++line_;
    }

    void Problem(CsvRecord& record, int line, std::string message) {
        if (!record.broken) problems_.push_back({line, std::move(message)});
        record.broken = true;
    }

    // Returns false when the text ends inside the quotes; nothing after that can be read.
    bool ReadQuoted(std::string& field, CsvRecord& record) {
        const int openedOn = line_;
        ++pos_;
        for (;;) {
            if (pos_ >= text_.size()) {
                Problem(record, openedOn, "a quoted field is not closed (it opens on this line)");
                stopped_ = true;
                return false;
            }
            const char c = text_[pos_];
            if (c == '"') {
                if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '"') {
                    field += '"';
                    pos_ += 2;
                    continue;
                }
                ++pos_;
                break;
            }
            if (c == '\n' || (c == '\r' && (pos_ + 1 >= text_.size() || text_[pos_ + 1] != '\n'))) ++line_;
            field += c;
            ++pos_;
        }
        if (pos_ < text_.size() && text_[pos_] != ',' && !AtLineBreak()) {
            Problem(record, line_, "text after the closing quote of a field");
            while (pos_ < text_.size() && text_[pos_] != ',' && !AtLineBreak()) ++pos_;
        }
        return true;
    }

    void ReadUnquoted(std::string& field, CsvRecord& record) {
        while (pos_ < text_.size() && text_[pos_] != ',' && !AtLineBreak()) {
            if (text_[pos_] == '"') Problem(record, line_, "a quote inside a field that does not start with one");
            field += text_[pos_++];
        }
    }

    std::string_view text_;
    std::vector<ManifestProblem>& problems_;
    std::size_t pos_ = 0;
    int line_ = 1;
    bool stopped_ = false;
};

} // namespace

Manifest ParseManifest(std::string_view text) {
    Manifest manifest;
    if (text.substr(0, kUtf8Bom.size()) == kUtf8Bom) text.remove_prefix(kUtf8Bom.size());
    CsvReader reader(text, manifest.problems);

    std::optional<CsvRecord> header;
    while ((header = reader.Next()) && header->blank) {}
    if (!header) {
        if (manifest.problems.empty()) manifest.problems.push_back({1, "the manifest is empty: no header line"});
        return manifest;
    }
    manifest.columns = header->fields;
    if (header->broken) return manifest; // its problem is reported; its names cannot be trusted
    bool headerBad = false;
    std::size_t imeiIndex = manifest.columns.size();
    std::set<std::string_view> seen;
    for (std::size_t i = 0; i < manifest.columns.size(); ++i) {
        const std::string& name = manifest.columns[i];
        if (!seen.insert(name).second) {
            manifest.problems.push_back({header->line, "column " + Shown(name) + " is given twice"});
            headerBad = true;
        } else if (name == kImeiColumn) {
            imeiIndex = i;
        } else if (FieldByName(name) == nullptr) {
            manifest.problems.push_back(
                {header->line, "unknown column " + Shown(name) + ": not IMEI and not a record field name"});
            headerBad = true;
        }
    }
    if (imeiIndex == manifest.columns.size()) {
        manifest.problems.push_back({header->line, "the header has no IMEI column"});
        headerBad = true;
    }
    if (headerBad) return manifest;

    std::map<std::string, int> imeiLines;
    while (std::optional<CsvRecord> record = reader.Next()) {
        if (record->blank || record->broken) continue;
        if (record->fields.size() != manifest.columns.size()) {
            manifest.problems.push_back({record->line, "the row has " + std::to_string(record->fields.size()) +
                                                           " fields, the header " +
                                                           std::to_string(manifest.columns.size())});
            continue;
        }
        ManifestRow row;
        row.line = record->line;
        row.imei = record->fields[imeiIndex];
        if (!IsImei(row.imei)) {
            manifest.problems.push_back(
                {row.line, "IMEI " + Shown(row.imei) + " is not 15 characters, each a digit, '+' or '-'"});
            continue;
        }
        if (const auto [it, inserted] = imeiLines.emplace(row.imei, row.line); !inserted) {
            manifest.problems.push_back(
                {row.line, "IMEI " + row.imei + " is given again (first on line " + std::to_string(it->second) + ")"});
            continue;
        }
        for (std::size_t i = 0; i < manifest.columns.size(); ++i)
            if (i != imeiIndex) row.fields.emplace_back(manifest.columns[i], std::move(record->fields[i]));
        manifest.rows.push_back(std::move(row));
    }
    return manifest;
}

} // namespace kestravo
