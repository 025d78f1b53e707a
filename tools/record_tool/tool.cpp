// SPDX-License-Identifier: Apache-2.0
#include "tools/record_tool/tool.h"

#include "record/record_file.h"

namespace kestravo::tool {

TConfigRecord ReadRecordFile(const std::string& path) {
    try {
        return kestravo::ReadRecordFile(path);
    } catch (const EFileError& failure) {
        throw ToolFailure(kExitRefused, failure.what());
    }
}

} // namespace kestravo::tool
