/* Functions that the task code of a test model calls. */
#include <stdio.h>
#include <string.h>

int Twice(int nValue);
