// Calendar days: civil conversions, parsing, formatting and unit arithmetic.
#include "date.h"
