// (filled in by a later change)
#include "pccom.h"

_PC_COM_STRUCT strPCCom;
