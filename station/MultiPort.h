// The box runner with its console, port list and line database link: what a
// device command needs to run its job on one or many ports.
#pragma once

#include "BoxConsole.h"
#include "BoxRunner.h"
#include "LineLink.h"
#include "PortList.h"
