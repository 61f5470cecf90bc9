// The status type the interface bases hand to the plug-in's operations.
//
// Firebird's CheckStatusWrapper only clears the engine's status when it set
// something itself; this one clears it on every init(), so that a status
// handed in dirty goes back clean (fbcrypt-check --strict-status), and it
// turns whatever an operation throws into the engine's status, so that no
// exception reaches the engine: one that did would end the engine's process.
#pragma once

#include <exception>

#include <firebird/Interface.h>

namespace mycrypt
{

class Status
{
public:
	explicit Status(Firebird::IStatus* status) noexcept : status_(status) {}

	void init() noexcept
	{
		if (status_)
			status_->init();
	}

	// An error with `text` (isc_random); the engine's status copies the text.
	void setError(const char* text) noexcept
	{
		if (!status_)
			return;
		const intptr_t vector[] = {isc_arg_gds, isc_random, isc_arg_string, reinterpret_cast<intptr_t>(text),
								   isc_arg_end};
		status_->setErrors(vector);
	}

	Firebird::IStatus* engineStatus() const noexcept { return status_; }

	// Called by the interface bases inside their catch (...) blocks.
	static void catchException(Status* status) noexcept
	{
		try
		{
			throw;
		}
		catch (const Firebird::FbException& e)
		{
			if (status && status->status_)
				status->status_->setErrors(e.getStatus()->getErrors());
		}
		catch (const std::exception& e)
		{
			if (status)
				status->setError(e.what());
		}
		catch (...)
		{
			if (status)
				status->setError("mycrypt: an unknown exception");
		}
	}

private:
	Firebird::IStatus* status_;
};

}  // namespace mycrypt
