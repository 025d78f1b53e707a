#include "tools/record_tool/cli.h"
#include "tools/record_tool/tool.h"

namespace kestravo::tool {

int RunHistory(Args) { throw ToolFailure(kExitRefused, "history: not yet"); }

} // namespace kestravo::tool
