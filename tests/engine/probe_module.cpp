// A test build of the "velkor" plug-in that also writes down what the engine
// asks of it, so that the engine tests can see which instances a server
// makes and how it calls them. Each instance wraps a real TMyCrypt. One line
// per event is appended to the file named by VELKOR_PROBE:
//   PID INSTANCE create
//   PID INSTANCE setInfo PATH
//   PID INSTANCE setKey HOLDERS KEYNAME
//   PID INSTANCE encrypt|decrypt LENGTH inplace|separate   (first of each kind)
//   PID INSTANCE thread TID   (the first encrypt or decrypt from each thread)
//   PID INSTANCE dirty encrypt|decrypt CODE   (handed a status that holds an error)
//   PID INSTANCE destroy
// Never load this outside the tests.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <tuple>

#include "crypt.h"

namespace
{

using velkor::TStatus;

Firebird::IMaster* master = nullptr;

// TStatus that also lets the probe look at the engine's status.
struct ProbeStatus : TStatus
{
	explicit ProbeStatus(Firebird::IStatus* status) noexcept : TStatus(status), raw(status) {}
	static void catchException(ProbeStatus* status) noexcept { TStatus::catchException(status); }
	Firebird::IStatus* raw;
};

void note(const void* instance, const std::string& what)
{
	static const int fd = [] {
		const char* path = std::getenv("VELKOR_PROBE");
		return path ? open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644) : -1;
	}();
	if (fd < 0)
		return;
	char head[64];
	std::snprintf(head, sizeof head, "%ld %p ", static_cast<long>(getpid()), instance);
	const std::string line = head + what + "\n";
	if (write(fd, line.data(), line.size()) < 0)
		return;  // a test reading the file sees the gap
}

class TProbeCrypt final : public Firebird::IDbCryptPluginImpl<TProbeCrypt, ProbeStatus>
{
public:
	explicit TProbeCrypt(Firebird::IPluginConfig* config) : FInner(new velkor::TMyCrypt(config))
	{
		FInner->addRef();
		note(this, "create");
	}
	~TProbeCrypt() override
	{
		note(this, "destroy");
		FInner->release();
	}

	void addRef() override { ++FCounter; }
	int release() override
	{
		if (--FCounter != 0)
			return 1;
		delete this;
		return 0;
	}
	void setOwner(Firebird::IReferenceCounted* ref) override { FInner->setOwner(ref); }
	Firebird::IReferenceCounted* getOwner() override { return FInner->getOwner(); }

	void setKey(ProbeStatus* status, unsigned length, Firebird::IKeyHolderPlugin** sources,
				const char* keyName) override
	{
		note(this, "setKey " + std::to_string(length) + " " + (keyName ? keyName : "(null)"));
		FInner->setKey(status, length, sources, keyName);
	}
	void encrypt(ProbeStatus* status, unsigned length, const void* src, void* dst) override
	{
		dirty("encrypt", status);
		first("encrypt", length, src == dst);
		FInner->encrypt(status, length, src, dst);
	}
	void decrypt(ProbeStatus* status, unsigned length, const void* src, void* dst) override
	{
		dirty("decrypt", status);
		first("decrypt", length, src == dst);
		FInner->decrypt(status, length, src, dst);
	}
	void setInfo(ProbeStatus* status, Firebird::IDbCryptInfo* info) override
	{
		Firebird::IStatus* raw = master->getStatus();
		Firebird::CheckStatusWrapper st(raw);
		const char* path = info ? info->getDatabaseFullPath(&st) : nullptr;
		note(this, std::string("setInfo ") + (path ? path : "(null)"));
		raw->dispose();
		FInner->setInfo(status, info);
	}

private:
	void dirty(const char* op, ProbeStatus* status)
	{
		if (status->raw && (status->raw->getState() & Firebird::IStatus::STATE_ERRORS))
			note(this, std::string("dirty ") + op + " " + std::to_string(status->raw->getErrors()[1]));
	}
	void first(const char* op, unsigned length, bool inPlace)
	{
		const long thread = syscall(SYS_gettid);
		std::lock_guard<std::mutex> lock(FSeenLock);
		if (FSeen.insert({op, length, inPlace}).second)
			note(this, std::string(op) + " " + std::to_string(length) + (inPlace ? " inplace" : " separate"));
		if (FThreads.insert(thread).second)
			note(this, "thread " + std::to_string(thread));
	}

	std::atomic<int> FCounter{0};
	velkor::TMyCrypt* FInner;
	std::mutex FSeenLock;
	std::set<std::tuple<std::string, unsigned, bool>> FSeen;
	std::set<long> FThreads;
};

// Registered so that the engine may unload the module; it keeps no state.
class TProbeModule final : public Firebird::IPluginModuleImpl<TProbeModule, TStatus>
{
public:
	void doClean() override {}
	void threadDetach() override {}
};

class TProbeFactory final : public Firebird::IPluginFactoryImpl<TProbeFactory, TStatus>
{
public:
	Firebird::IPluginBase* createPlugin(TStatus*, Firebird::IPluginConfig* config) override
	{
		TProbeCrypt* crypt = new TProbeCrypt(config);
		crypt->addRef();
		return crypt;
	}
};

}  // namespace

extern "C" FB_DLL_EXPORT void firebird_plugin(Firebird::IMaster* m)
{
	master = m;
	Firebird::IPluginManager* manager = master->getPluginManager();
	manager->registerModule(new TProbeModule);
	manager->registerPluginFactory(Firebird::IPluginManager::TYPE_DB_CRYPT, "velkor", new TProbeFactory);
}
