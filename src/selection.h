// The selected models: the unique ids of the models that dbt ls printed.
#pragma once

#include "string_map.h"

using Selection = StringSet;
