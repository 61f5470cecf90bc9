// What a module did to the stand-in's objects, in order. Thread-safe: the
// stand-in is called from as many threads as a test uses.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace standin
{

class CallLog
{
public:
	void add(std::string call)
	{
		std::lock_guard<std::mutex> lock(mutex_);
		calls_.push_back(std::move(call));
	}

	std::vector<std::string> calls() const
	{
		std::lock_guard<std::mutex> lock(mutex_);
		return calls_;
	}

	void clear()
	{
		std::lock_guard<std::mutex> lock(mutex_);
		calls_.clear();
	}

private:
	mutable std::mutex mutex_;
	std::vector<std::string> calls_;
};

}  // namespace standin
