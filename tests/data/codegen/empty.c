#include <stdio.h>
#include <string.h>
#ifdef BUILD_DLL
/* DLL export */
#define SDLCODE_EXPORT __attribute__((visibility("default")))
#else
/* EXE import */
#define SDLCODE_EXPORT
#endif


///////////////////////////////////////////////////////////////////////////////
// Class wrapper functions
///////////////////////////////////////////////////////////////////////////////



///////////////////////////////////////////////////////////////////////////////
// CreateSDLCode - create an instance of the class CSDLCode
SDLCODE_EXPORT char* IniModel()
{
	return "Empty";
}


///////////////////////////////////////////////////////////////////////////////
// CreateSDLCode - create an instance of the class CSDLCode
SDLCODE_EXPORT char* GetModelName()
{
	return "Empty";
}

// Allows to evaluate the decisions of the SDL model
SDLCODE_EXPORT int GetModelDecision(char* ID)
{
	//En funció del ID del condicional el fitxer generat tindrà un codi o un altre.
	return 0;
}

// Allows to evaluate the tasks of the SDL model
SDLCODE_EXPORT int GetModelTask(char* ID)
{
	//En funció del ID del condicional el fitxer generat tindrà un codi o un altre.
	return 0;
}

// Direct entries of the Decision blocks: the blocks of each code ID under its index
SDLCODE_EXPORT int DecisionEntry(int nIndex, char* ID)
{
	switch (nIndex)
	{
	}
	return 0;
}

SDLCODE_EXPORT int DecisionEntryCount = 0;
SDLCODE_EXPORT const char* DecisionEntryIDs[] = {
	0
};

// Direct entries of the Task blocks: the blocks of each code ID under its index
SDLCODE_EXPORT int TaskEntry(int nIndex, char* ID)
{
	switch (nIndex)
	{
	}
	return 0;
}

SDLCODE_EXPORT int TaskEntryCount = 0;
SDLCODE_EXPORT const char* TaskEntryIDs[] = {
	0
};

