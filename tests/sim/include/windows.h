#ifndef SIMWIN_WINDOWS_H
#define SIMWIN_WINDOWS_H
#include "simwin_api.h"
#include "simwin_crt.h"
#endif
