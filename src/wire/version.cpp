#include "wire/version.h"

#ifndef TARNEXIO_VERSION_STRING
#error "the build defines TARNEXIO_VERSION_STRING"
#endif

const char* TarnexioVersion() { return TARNEXIO_VERSION_STRING; }
