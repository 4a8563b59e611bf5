#include "DialogUPG.h"
#include "ToolPlugin.h"

CORVANE_TOOL_PLUGIN(CDialogUPG)
