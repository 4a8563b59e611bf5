#include "DialogPresetData.h"
#include "ToolPlugin.h"

CORVANE_TOOL_PLUGIN(CDialogPresetData)
