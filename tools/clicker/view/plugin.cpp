#include "RemoteCtrl.h"
#include "ToolPlugin.h"

CORVANE_TOOL_PLUGIN(CRemoteCtrl)
