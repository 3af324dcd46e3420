#include "SDLCodeExternal.h"

int Twice(int nValue)
{
	return 2 * nValue;
}
