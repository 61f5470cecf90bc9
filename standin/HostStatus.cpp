#include "HostStatus.h"

#include <sstream>

namespace standin
{

namespace
{

bool isStringArgument(intptr_t kind)
{
	return kind == isc_arg_string || kind == isc_arg_interpreted || kind == isc_arg_sql_state;
}

}  // namespace

HostStatus::HostStatus()
{
	for (Vector* v : {&errors_, &warnings_})
	{
		v->items.reserve(reserved);
		reset(*v);
	}
}

HostStatus::HostStatus(const HostStatus& other) : IStatusImpl<HostStatus, HostStatus>()
{
	assign(errors_, static_cast<unsigned>(other.errors_.items.size()), other.errors_.items.data());
	assign(warnings_, static_cast<unsigned>(other.warnings_.items.size()), other.warnings_.items.data());
}

// A clean vector reads {isc_arg_gds, 0, isc_arg_end}, as the engine's does.
// Cheap, as the engine's init() is: no allocation once the vector exists.
void HostStatus::reset(Vector& target)
{
	target.items.resize(3);
	target.items[0] = isc_arg_gds;
	target.items[1] = 0;
	target.items[2] = isc_arg_end;
	if (!target.strings.empty())
		target.strings.clear();
}

// Copies `value` (at most `length` items, up to isc_arg_end) together with its
// strings, which the caller need not keep.
void HostStatus::assign(Vector& target, unsigned length, const intptr_t* value)
{
	Vector copy;
	copy.items.reserve(reserved);
	for (unsigned i = 0; i < length && value[i] != isc_arg_end;)
	{
		const intptr_t kind = value[i];
		if (kind == isc_arg_cstring && i + 2 < length)
		{
			copy.strings.emplace_back(reinterpret_cast<const char*>(value[i + 2]),
									  static_cast<std::size_t>(value[i + 1]));
			copy.items.push_back(isc_arg_string);
			copy.items.push_back(reinterpret_cast<intptr_t>(copy.strings.back().c_str()));
			i += 3;
			continue;
		}
		if (i + 1 >= length)
			break;
		copy.items.push_back(kind);
		if (isStringArgument(kind))
		{
			const char* text = reinterpret_cast<const char*>(value[i + 1]);
			copy.strings.emplace_back(text ? text : "");
			copy.items.push_back(reinterpret_cast<intptr_t>(copy.strings.back().c_str()));
		}
		else
			copy.items.push_back(value[i + 1]);
		i += 2;
	}
	copy.items.push_back(isc_arg_end);
	if (copy.items.size() < 3)
		reset(copy);
	target = std::move(copy);
}

void HostStatus::makeDirty()
{
	const intptr_t error[] = {isc_arg_gds, isc_random, isc_arg_string,
							  reinterpret_cast<intptr_t>("left over from an earlier call"), isc_arg_end};
	const intptr_t warning[] = {isc_arg_gds, isc_random, isc_arg_string,
								reinterpret_cast<intptr_t>("an earlier warning"), isc_arg_end};
	setErrors(error);
	setWarnings(warning);
}

intptr_t HostStatus::errorCode() const
{
	return errors_.items.size() > 1 && errors_.items[0] == isc_arg_gds ? errors_.items[1] : 0;
}

std::string HostStatus::errorText() const
{
	const auto& v = errors_.items;
	for (std::size_t i = 0; i + 1 < v.size(); i += 2)
		if (isStringArgument(v[i]))
			return reinterpret_cast<const char*>(v[i + 1]);
	return {};
}

std::string HostStatus::describe() const
{
	if (isClean())
		return "clean";
	std::ostringstream out;
	const auto& v = errors_.items;
	for (std::size_t i = 0; i + 1 < v.size(); i += 2)
	{
		if (i)
			out << ' ';
		if (isStringArgument(v[i]))
			out << '"' << reinterpret_cast<const char*>(v[i + 1]) << '"';
		else
			out << v[i + 1];
	}
	if (getState() & STATE_WARNINGS)
		out << " (and warnings)";
	return out.str();
}

void HostStatus::setVersionError(HostStatus* status, const char* interfaceName, unsigned current,
								 unsigned expected)
{
	const intptr_t vector[] = {isc_arg_gds,    isc_interface_version_too_old,
							   isc_arg_number, static_cast<intptr_t>(expected),
							   isc_arg_number, static_cast<intptr_t>(current),
							   isc_arg_string, reinterpret_cast<intptr_t>(interfaceName),
							   isc_arg_end};
	if (status)
		status->setErrors(vector);
}

// IStatus

void HostStatus::init()
{
	++inits_;
	reset(errors_);
	reset(warnings_);
}

unsigned HostStatus::getState() const
{
	unsigned state = 0;
	if (errors_.items.size() > 1 && errors_.items[1] != 0)
		state |= STATE_ERRORS;
	if (warnings_.items.size() > 1 && warnings_.items[1] != 0)
		state |= STATE_WARNINGS;
	return state;
}

void HostStatus::setErrors2(unsigned length, const intptr_t* value)
{
	assign(errors_, length, value);
}

void HostStatus::setWarnings2(unsigned length, const intptr_t* value)
{
	assign(warnings_, length, value);
}

void HostStatus::setErrors(const intptr_t* value)
{
	setErrors2(~0u, value);
}

void HostStatus::setWarnings(const intptr_t* value)
{
	setWarnings2(~0u, value);
}

}  // namespace standin
