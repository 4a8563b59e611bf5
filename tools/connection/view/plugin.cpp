#include "ComConnectionView.h"
#include "ToolPlugin.h"

CORVANE_TOOL_PLUGIN(CComConnectionView)
