#include "wire/version.h"

#include "tarnexio_version.h"  // generated at build time

const char* TarnexioVersion() { return TARNEXIO_VERSION_STRING; }
