#include "StampaDlg.h"
#include "ToolPlugin.h"

CORVANE_TOOL_PLUGIN(StampaDlg)
