#include <stdio.h>
#include <string.h>

double SDL1DCL;
double SDL2DCL;
int SDL3DCL;
int SDL4DCL;
char* SDL5DCL;
int SDL6DCL;

///////////////////////////////////////////////////////////////////////////////
// Class wrapper functions
///////////////////////////////////////////////////////////////////////////////

///////////////////////////////////////////////////////////////////////////////
// Create Get functions - create a get function for each variable of the model.
///////////////////////////////////////////////////////////////////////////////
double GetSDL1DCL()
{
	return SDL1DCL;
}

///////////////////////////////////////////////////////////////////////////////
// Create Get functions - create a get function for each variable of the model.
///////////////////////////////////////////////////////////////////////////////
double GetSDL2DCL()
{
	return SDL2DCL;
}

///////////////////////////////////////////////////////////////////////////////
// Create Get functions - create a get function for each variable of the model.
///////////////////////////////////////////////////////////////////////////////
int GetSDL3DCL()
{
	return SDL3DCL;
}

///////////////////////////////////////////////////////////////////////////////
// Create Get functions - create a get function for each variable of the model.
///////////////////////////////////////////////////////////////////////////////
int GetSDL4DCL()
{
	return SDL4DCL;
}

///////////////////////////////////////////////////////////////////////////////
// Create Get functions - create a get function for each variable of the model.
///////////////////////////////////////////////////////////////////////////////
char* GetSDL5DCL()
{
	return SDL5DCL;
}

///////////////////////////////////////////////////////////////////////////////
// Create Get functions - create a get function for each variable of the model.
///////////////////////////////////////////////////////////////////////////////
int GetSDL6DCL()
{
	return SDL6DCL;
}


///////////////////////////////////////////////////////////////////////////////
// Create Set functions - create a set function for each variable of the model.
///////////////////////////////////////////////////////////////////////////////
double SetSDL1DCL(double Set_SDL1DCL)
{
	SDL1DCL = Set_SDL1DCL;
	 return SDL1DCL;
}

///////////////////////////////////////////////////////////////////////////////
// Create Set functions - create a set function for each variable of the model.
///////////////////////////////////////////////////////////////////////////////
double SetSDL2DCL(double Set_SDL2DCL)
{
	SDL2DCL = Set_SDL2DCL;
	 return SDL2DCL;
}

///////////////////////////////////////////////////////////////////////////////
// Create Set functions - create a set function for each variable of the model.
///////////////////////////////////////////////////////////////////////////////
int SetSDL3DCL(int Set_SDL3DCL)
{
	SDL3DCL = Set_SDL3DCL;
	 return SDL3DCL;
}

///////////////////////////////////////////////////////////////////////////////
// Create Set functions - create a set function for each variable of the model.
///////////////////////////////////////////////////////////////////////////////
int SetSDL4DCL(int Set_SDL4DCL)
{
	SDL4DCL = Set_SDL4DCL;
	 return SDL4DCL;
}

///////////////////////////////////////////////////////////////////////////////
// Create Set functions - create a set function for each variable of the model.
///////////////////////////////////////////////////////////////////////////////
char* SetSDL5DCL(char* Set_SDL5DCL)
{
	SDL5DCL = Set_SDL5DCL;
	 return SDL5DCL;
}

///////////////////////////////////////////////////////////////////////////////
// Create Set functions - create a set function for each variable of the model.
///////////////////////////////////////////////////////////////////////////////
int SetSDL6DCL(int Set_SDL6DCL)
{
	SDL6DCL = Set_SDL6DCL;
	 return SDL6DCL;
}


///////////////////////////////////////////////////////////////////////////////
// CreateSDLCode - create an instance of the class CSDLCode
///////////////////////////////////////////////////////////////////////////////
char* IniModel()
{
	rate_Area_Receiver = 1.5;
	count_Sender = 3;
	label_Sender = "a \"b\" \\ c";
	return "Golden \"Demo\"";
}


///////////////////////////////////////////////////////////////////////////////
// CreateSDLCode - create an instance of the class CSDLCode
///////////////////////////////////////////////////////////////////////////////
char* GetModelName()
{
	return "Golden \"Demo\"";
}

// Allows to evaluate the decisions of the SDL model
int GetModelDecision(char* ID)
{
	//En funció del ID del condicional el fitxer generat tindrà un codi o un altre.
	if (strcmp(ID,"0_0_Idle_2") == 0)
	{
		if(SDL4DCL > SDL6DCL)
			return 3;
		else
			return 4;
	};
	if (strcmp(ID,"0_5_0_Wait_7") == 0)
	{
		if(SDL1DCL <= 2.0)
			return 8;
		else
			return 9;
	};
	return 0;
}

// Allows to evaluate the tasks of the SDL model
int GetModelTask(char* ID)
{
	//En funció del ID del condicional el fitxer generat tindrà un codi o un altre.
	if (strcmp(ID,"0_0_Idle_3") == 0)
	{
		SDL6DCL = SDL6DCL + SDL4DCL; printf("count=%d if\n", SDL4DCL);
	};
	if (strcmp(ID,"0_0_start_1") == 0)
	{
		SDL4DCL = 0;
	};
	if (strcmp(ID,"0_5_0_1_Scale_1") == 0)
	{
		SDL2DCL = SDL1DCL * SDL3DCL;
	};
	return 0;
}

// Direct entries of the Decision blocks: the blocks of each code ID under its index
int DecisionEntry(int nIndex, char* ID)
{
	switch (nIndex)
	{
	case 0:
	{
	{
		if(SDL4DCL > SDL6DCL)
			return 3;
		else
			return 4;
	};
		return 0;
	}
	case 1:
	{
	{
		if(SDL1DCL <= 2.0)
			return 8;
		else
			return 9;
	};
		return 0;
	}
	}
	return 0;
}

int DecisionEntryCount = 2;
const char* DecisionEntryIDs[] = {
	"0_0_Idle_2",
	"0_5_0_Wait_7",
	0
};

// Direct entries of the Task blocks: the blocks of each code ID under its index
int TaskEntry(int nIndex, char* ID)
{
	switch (nIndex)
	{
	case 0:
	{
	{
		SDL6DCL = SDL6DCL + SDL4DCL; printf("count=%d if\n", SDL4DCL);
	};
		return 0;
	}
	case 1:
	{
	{
		SDL4DCL = 0;
	};
		return 0;
	}
	case 2:
	{
	{
		SDL2DCL = SDL1DCL * SDL3DCL;
	};
		return 0;
	}
	}
	return 0;
}

int TaskEntryCount = 3;
const char* TaskEntryIDs[] = {
	"0_0_Idle_3",
	"0_0_start_1",
	"0_5_0_1_Scale_1",
	0
};

