#include "FakeCryptInputs.h"

namespace host
{

void CallCounter::touch()
{
	calls_.fetch_add(1);
}

}  // namespace host
