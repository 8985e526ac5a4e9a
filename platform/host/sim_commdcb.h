/* Host simulation: the settings-description parser behind BuildCommDCBW. */
#pragma once

#include "win_types.h"

/* "Old" form only: [comN[:]]baud,parity,data,stop[,x|p]. Fills what the
   description names; false when it is not one. */
bool ParseDescription(const WCHAR *p, DCB *d);
