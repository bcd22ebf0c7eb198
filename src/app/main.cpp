// Tarnexio: bridges a Bluetooth controller in factory test mode to a test host over TCP.
#include "app/startup.h"

int main(int argc, char** argv) { return RunBridge(argc, argv); }
