// The "Tessel" plug-in library: its entry makes the tab.
#include "TesselDialog.h"
#include "ToolPlugin.h"

CORVANE_TOOL_PLUGIN(TesselDialog)
