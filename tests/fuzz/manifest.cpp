// SPDX-License-Identifier: Apache-2.0
// The batch manifest reader against arbitrary bytes: it never throws, and what it hands on is
// only ever well formed: known field columns, valid and distinct IMEIs, row lines inside the text,
// and no rows at all once the header is refused.
#include "fuzz_check.h"
#include "record/config_record.h"
#include "tools/record_tool/manifest.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const kestravo::Manifest manifest = kestravo::ParseManifest(text);

    // Every kind of line ending counts, so no line number can pass the count of breaks + 1.
    const int lines = 1 + static_cast<int>(std::count(text.begin(), text.end(), '\n') +
                                           std::count(text.begin(), text.end(), '\r'));
    std::set<std::string> imeis;
    int lastLine = 0;
    for (const kestravo::ManifestRow& row : manifest.rows) {
        FUZZ_CHECK(row.line >= 1 && row.line <= lines, "row line %d of %d", row.line, lines);
        FUZZ_CHECK(row.line > lastLine, "rows out of order at line %d", row.line);
        lastLine = row.line;
        FUZZ_CHECK(kestravo::IsImei(row.imei), "row %d carries a bad IMEI", row.line);
        FUZZ_CHECK(imeis.insert(row.imei).second, "IMEI repeated at line %d", row.line);
        std::set<std::string> names;
        for (const auto& [name, value] : row.fields) {
            FUZZ_CHECK(kestravo::FieldByName(name) != nullptr, "unknown field %s", name.c_str());
            FUZZ_CHECK(names.insert(name).second, "field %s twice in line %d", name.c_str(), row.line);
        }
    }
    for (const kestravo::ManifestProblem& problem : manifest.problems) {
        FUZZ_CHECK(problem.line >= 1 && problem.line <= lines, "problem line %d of %d", problem.line, lines);
        FUZZ_CHECK(!problem.message.empty(), "a problem without words at line %d", problem.line);
    }
    if (manifest.columns.empty())
        FUZZ_CHECK(manifest.rows.empty(), "rows without a header");
    return 0;
}
