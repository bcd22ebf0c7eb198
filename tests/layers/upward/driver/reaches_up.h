// A lower layer that includes the application layer: the layer check must refuse it.
#pragma once

#include "app/startup.h"
