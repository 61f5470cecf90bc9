// One engine stand-in per test: a log, a plug-in manager and a master, with
// the module's master reference pointed at it.
#pragma once

#include "CallLog.h"
#include "FakeMaster.h"
#include "InterfaceVersion.h"
#include "velkor64.h"

struct Engine
{
	standin::CallLog log;
	standin::FakePluginManager manager{log};
	standin::FakeMaster master{log, &manager};

	Engine() { velkor::masterInterface = &master; }
};
