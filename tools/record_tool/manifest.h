// SPDX-License-Identifier: Apache-2.0
#pragma once
// A manifest names the devices of a batch send, one per row, with the record fields that differ
// per device: CSV (RFC 4180) whose header names IMEI and any record field names. Standard C++
// only, so the parser can be fed arbitrary bytes by a fuzzer.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestravo {

struct ManifestRow {
    int line = 0;      // physical line on which the row starts
    std::string imei;
    // (field name, value text) for every column but IMEI, in header order; an empty cell is "".
    std::vector<std::pair<std::string, std::string>> fields;
};

struct ManifestProblem {
    int line = 0;
    std::string message;
};

struct Manifest {
    std::vector<std::string> columns;         // the header, as written
    std::vector<ManifestRow> rows;            // only the rows without a problem
    std::vector<ManifestProblem> problems;    // in line order; a batch with any should be refused
};

// Never throws for bad content. A problem in the header (or an empty manifest) leaves rows empty.
// Values are passed on as text: their ranges are the encoder's to check.
Manifest ParseManifest(std::string_view text);

} // namespace kestravo
