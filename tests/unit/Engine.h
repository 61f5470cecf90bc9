// One engine stand-in per test: a log, a plug-in manager and a master, with
// the module's master reference pointed at it.
#pragma once

#include "CallLog.h"
#include "FakeMaster.h"
#include "InterfaceVersion.h"
#include "velkor64.h"

struct Engine
{
	host::CallLog log;
	host::FakePluginManager manager{log};
	host::FakeMaster master{log, &manager};

	Engine() { velkor::masterInterface = &master; }
};
