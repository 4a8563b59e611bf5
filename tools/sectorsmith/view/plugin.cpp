#include "DialogBlockUPG.h"
#include "ToolPlugin.h"

CORVANE_TOOL_PLUGIN(CDialogBlockUPG)
