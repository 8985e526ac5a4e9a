/*
 * Driver lifetime: process attach and detach, and the driver message
 * procedure DriverProc.
 */
#include "driver/driver.h"

HINSTANCE ghModule; /* written first at process attach; read for resources */
LONG RSPort = -1;   /* written at process attach; read by both device opens */
