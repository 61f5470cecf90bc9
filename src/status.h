// The status type the interface bases hand to this module's operations.
//
// Firebird's stock wrappers (CheckStatusWrapper and friends) only forward
// init() to the engine's status when something was set through the wrapper
// itself, so a status the engine hands in dirty would go back dirty. TStatus
// forwards every init(), and turns whatever an operation throws into the
// engine's status, so that no exception crosses into the engine.
#pragma once

#include <exception>

#include <firebird/Interface.h>

namespace velkor
{

class TStatus
{
public:
	// The interface bases build one per call from the engine's pointer, which
	// may be null.
	explicit TStatus(Firebird::IStatus* status) noexcept : FStatus(status) {}

	void init() noexcept
	{
		if (FStatus)
			FStatus->init();
	}

	// Records isc_random with `text`; the engine's status keeps its own copy.
	void setError(const char* text) noexcept
	{
		if (!FStatus)
			return;
		const intptr_t vector[] = {isc_arg_gds, isc_random, isc_arg_string, reinterpret_cast<intptr_t>(text),
								   isc_arg_end};
		FStatus->setErrors(vector);
	}

	// Called by the interface bases from inside their catch (...) blocks;
	// `status` is null for the operations that take no status, and then the
	// exception is dropped.
	static void catchException(TStatus* status) noexcept
	{
		try
		{
			throw;
		}
		catch (const Firebird::FbException& e)
		{
			if (status && status->FStatus)
				status->FStatus->setErrors(e.getStatus()->getErrors());
		}
		catch (const std::exception& e)
		{
			if (status)
				status->setError(e.what());
		}
		catch (...)
		{
			if (status)
				status->setError("Unrecognized C++ exception");
		}
	}

private:
	Firebird::IStatus* FStatus;
};

}  // namespace velkor
