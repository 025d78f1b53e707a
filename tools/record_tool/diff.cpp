// kestravo-record diff: the fields in which two records differ.
#include "tools/record_tool/cli.h"
#include "tools/record_tool/tool.h"

namespace kestravo::tool {

int RunDiff(Args) { throw ToolFailure(kExitRefused, "diff: not yet"); }

} // namespace kestravo::tool
