#include "DialogDownload.h"

#include "ToolPlugin.h"

CORVANE_TOOL_PLUGIN(CDialogDownload)
