#include "OTAStreamerDialog.h"
#include "ToolPlugin.h"

CORVANE_TOOL_PLUGIN(OTAStreamerDialog)
