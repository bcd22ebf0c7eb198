// The version every program reports: the project's version, with the source revision
// when the build came from a git checkout (for example "1.3.0+g1a2b3c4", "-dirty" added
// when the tree had changes).
#pragma once

const char* TarnexioVersion();
