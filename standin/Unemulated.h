// A call into something the stand-in does not play (IMaster::getDispatcher,
// IUtil::getXpbBuilder, ...): it returns null or nothing, and is reported,
// so that what follows is laid at the stand-in's door, not the plug-in's.
#pragma once

#include <functional>
#include <string>

namespace standin
{

// Reports `what` ("IUtil::getXpbBuilder") to the hook, if one is set.
void unemulated(const std::string& what);
// The hook: the checker reports the call; the unit tests leave it unset.
void onUnemulated(std::function<void(const std::string&)> hook);

}  // namespace standin
