#include <stdio.h>
#include <string.h>
#ifdef BUILD_DLL
/* DLL export */
#define SDLCODE_EXPORT __attribute__((visibility("default")))
#else
/* EXE import */
#define SDLCODE_EXPORT
#endif

double rate_Area_Receiver;
double acc_Area_Receiver_1;
int factor_Area_Receiver_1;
int count_Sender;
char* label_Sender;
int total_Sender;

///////////////////////////////////////////////////////////////////////////////
// Class wrapper functions
///////////////////////////////////////////////////////////////////////////////

///////////////////////////////////////////////////////////////////////////////
// Create Get functions - create a get function for each variable of the model.
SDLCODE_EXPORT double Getrate_Area_Receiver()
{
	return rate_Area_Receiver;
}

///////////////////////////////////////////////////////////////////////////////
// Create Get functions - create a get function for each variable of the model.
SDLCODE_EXPORT double Getacc_Area_Receiver_1()
{
	return acc_Area_Receiver_1;
}

///////////////////////////////////////////////////////////////////////////////
// Create Get functions - create a get function for each variable of the model.
SDLCODE_EXPORT int Getfactor_Area_Receiver_1()
{
	return factor_Area_Receiver_1;
}

///////////////////////////////////////////////////////////////////////////////
// Create Get functions - create a get function for each variable of the model.
SDLCODE_EXPORT int Getcount_Sender()
{
	return count_Sender;
}

///////////////////////////////////////////////////////////////////////////////
// Create Get functions - create a get function for each variable of the model.
SDLCODE_EXPORT char* Getlabel_Sender()
{
	return label_Sender;
}

///////////////////////////////////////////////////////////////////////////////
// Create Get functions - create a get function for each variable of the model.
SDLCODE_EXPORT int Gettotal_Sender()
{
	return total_Sender;
}


///////////////////////////////////////////////////////////////////////////////
// Create Set functions - create a set function for each variable of the model.
SDLCODE_EXPORT double Setrate_Area_Receiver(double Set_rate_Area_Receiver)
{
	rate_Area_Receiver = Set_rate_Area_Receiver;
	return rate_Area_Receiver;
}

///////////////////////////////////////////////////////////////////////////////
// Create Set functions - create a set function for each variable of the model.
SDLCODE_EXPORT double Setacc_Area_Receiver_1(double Set_acc_Area_Receiver_1)
{
	acc_Area_Receiver_1 = Set_acc_Area_Receiver_1;
	return acc_Area_Receiver_1;
}

///////////////////////////////////////////////////////////////////////////////
// Create Set functions - create a set function for each variable of the model.
SDLCODE_EXPORT int Setfactor_Area_Receiver_1(int Set_factor_Area_Receiver_1)
{
	factor_Area_Receiver_1 = Set_factor_Area_Receiver_1;
	return factor_Area_Receiver_1;
}

///////////////////////////////////////////////////////////////////////////////
// Create Set functions - create a set function for each variable of the model.
SDLCODE_EXPORT int Setcount_Sender(int Set_count_Sender)
{
	count_Sender = Set_count_Sender;
	return count_Sender;
}

///////////////////////////////////////////////////////////////////////////////
// Create Set functions - create a set function for each variable of the model.
SDLCODE_EXPORT char* Setlabel_Sender(char* Set_label_Sender)
{
	label_Sender = Set_label_Sender;
	return label_Sender;
}

///////////////////////////////////////////////////////////////////////////////
// Create Set functions - create a set function for each variable of the model.
SDLCODE_EXPORT int Settotal_Sender(int Set_total_Sender)
{
	total_Sender = Set_total_Sender;
	return total_Sender;
}


///////////////////////////////////////////////////////////////////////////////
// CreateSDLCode - create an instance of the class CSDLCode
SDLCODE_EXPORT char* IniModel()
{
	rate_Area_Receiver = 1.5;
	count_Sender = 3;
	label_Sender = "a \"b\" \\ c";
	return "Golden \"Demo\"";
}


///////////////////////////////////////////////////////////////////////////////
// CreateSDLCode - create an instance of the class CSDLCode
SDLCODE_EXPORT char* GetModelName()
{
	return "Golden \"Demo\"";
}

// Allows to evaluate the decisions of the SDL model
SDLCODE_EXPORT int GetModelDecision(char* ID)
{
	//En funció del ID del condicional el fitxer generat tindrà un codi o un altre.
	if (strcmp(ID,"0_0_Idle_2") == 0)
	{
		if(count_Sender > total_Sender)
			return 3;
		else
			return 4;
	};
	if (strcmp(ID,"0_5_0_Wait_7") == 0)
	{
		if(rate_Area_Receiver <= 2.0)
			return 8;
		else
			return 9;
	};
	return 0;
}

// Allows to evaluate the tasks of the SDL model
SDLCODE_EXPORT int GetModelTask(char* ID)
{
	//En funció del ID del condicional el fitxer generat tindrà un codi o un altre.
	if (strcmp(ID,"0_0_Idle_3") == 0)
	{
		total_Sender = total_Sender + count_Sender; printf("count=%d if\n", count_Sender);
	};
	if (strcmp(ID,"0_0_start_1") == 0)
	{
		count_Sender = 0;
	};
	if (strcmp(ID,"0_5_0_1_Scale_1") == 0)
	{
		acc_Area_Receiver_1 = rate_Area_Receiver * factor_Area_Receiver_1;
	};
	return 0;
}

// Direct entries of the Decision blocks: the blocks of each code ID under its index
SDLCODE_EXPORT int DecisionEntry(int nIndex, char* ID)
{
	switch (nIndex)
	{
	case 0:
	{
	{
		if(count_Sender > total_Sender)
			return 3;
		else
			return 4;
	};
		return 0;
	}
	case 1:
	{
	{
		if(rate_Area_Receiver <= 2.0)
			return 8;
		else
			return 9;
	};
		return 0;
	}
	}
	return 0;
}

SDLCODE_EXPORT int DecisionEntryCount = 2;
SDLCODE_EXPORT const char* DecisionEntryIDs[] = {
	"0_0_Idle_2",
	"0_5_0_Wait_7",
	0
};

// Direct entries of the Task blocks: the blocks of each code ID under its index
SDLCODE_EXPORT int TaskEntry(int nIndex, char* ID)
{
	switch (nIndex)
	{
	case 0:
	{
	{
		total_Sender = total_Sender + count_Sender; printf("count=%d if\n", count_Sender);
	};
		return 0;
	}
	case 1:
	{
	{
		count_Sender = 0;
	};
		return 0;
	}
	case 2:
	{
	{
		acc_Area_Receiver_1 = rate_Area_Receiver * factor_Area_Receiver_1;
	};
		return 0;
	}
	}
	return 0;
}

SDLCODE_EXPORT int TaskEntryCount = 3;
SDLCODE_EXPORT const char* TaskEntryIDs[] = {
	"0_0_Idle_3",
	"0_0_start_1",
	"0_5_0_1_Scale_1",
	0
};

