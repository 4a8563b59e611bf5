// The plug-in entry of the "Customization" tab.
#include "FirDlg.h"
#include "ToolPlugin.h"

CORVANE_TOOL_PLUGIN(CFirDlg)
