// The engine's side of a status: an IStatus that keeps its own copies of the
// error and warning vectors (as the engine's does) and counts init() calls.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <firebird/Interface.h>

namespace standin
{

class HostStatus final : public Firebird::IStatusImpl<HostStatus, HostStatus>
{
public:
	HostStatus();
	HostStatus(const HostStatus& other);
	HostStatus& operator=(const HostStatus&) = delete;

	// Leaves an error and a warning behind, as an earlier failed call would.
	void makeDirty();

	unsigned initCalls() const { return inits_; }
	bool isClean() const { return getState() == 0; }
	// The first error code, 0 when there is none.
	intptr_t errorCode() const;
	// The first string argument of the errors, empty when there is none.
	std::string errorText() const;
	// "clean" or the error vector in words, for test messages.
	std::string describe() const;

	// IDisposable: only clones are disposed; the host owns the others.
	void dispose() override { delete this; }

	// IStatus
	void init() override;
	unsigned getState() const override;
	void setErrors2(unsigned length, const intptr_t* value) override;
	void setWarnings2(unsigned length, const intptr_t* value) override;
	void setErrors(const intptr_t* value) override;
	void setWarnings(const intptr_t* value) override;
	const intptr_t* getErrors() const override { return errors_.items.data(); }
	const intptr_t* getWarnings() const override { return warnings_.items.data(); }
	Firebird::IStatus* clone() const override { return new HostStatus(*this); }

	// The interface's calling templates hand the status to the module as it
	// is, so a test sees exactly what the module did to it.
	static void clearException(HostStatus*) {}
	static void checkException(HostStatus*) {}
	static void catchException(HostStatus*) {}
	// An object whose dispatch table lacks the slot called.
	static void setVersionError(HostStatus* status, const char* interfaceName, unsigned current,
								unsigned expected);

private:
	struct Vector
	{
		std::vector<intptr_t> items;
		std::deque<std::string> strings;  // the vector's string arguments point here
	};
	// Room for a few clusters, and enough that the words every init() writes
	// in two statuses of two threads never share a cache line.
	static constexpr std::size_t reserved = 16;
	static void assign(Vector& target, unsigned length, const intptr_t* value);
	static void reset(Vector& target);

	Vector errors_;
	Vector warnings_;
	unsigned inits_ = 0;  // one status per thread, as in the engine
};

// The status type for the stand-in's own interface bases: the stand-in never
// throws and never reports through a status, so it only passes the pointer.
struct PassStatus
{
	explicit PassStatus(Firebird::IStatus* s) : status(s) {}
	static void catchException(PassStatus*) {}
	Firebird::IStatus* status;
};

}  // namespace standin
