// The local wall clock, with milliseconds.
#pragma once

#include "global/datas.h"

// Current local date and time of the host's time zone.
DataHora RelogioLocal();
