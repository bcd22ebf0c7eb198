// The capture layer sits below the context record and may not reach it.
#pragma once
#include "core/context.h"
