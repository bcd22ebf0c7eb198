// btvirt, BlueZ's emulated controller, can crash on its own: BlueZ 5.66 frees the timer
// that is running when an inquiry ends by its length, and a write to a client that has
// gone ends it by SIGPIPE. The tests avoid both, and a test that used btvirt says in a
// line of its own when it died of a signal all the same, so that a crash of the emulator
// is taken neither for a fault of the programs under test nor for a pass.
#pragma once

#include <string>

#include "child_process.h"

namespace tarnexio_test {

// The line that reports a btvirt that died of signal sig; it starts "btvirt crashed".
std::string BtvirtCrashLine(int sig);

// The line for the btvirt this child runs when it has died of a signal; "" while it runs
// or when it exited by itself.
std::string BtvirtCrash(ChildProcess& btvirt);

// The line for a shell's status of btvirt ($? of `wait`): a signal other than the SIGTERM
// that ends it at the close of a run is a crash; "" otherwise.
std::string BtvirtCrashFromShellStatus(int status);

// At the end of its scope (the end of a test), fails the test with BtvirtCrash's line when
// the btvirt it watches has died of a signal. Declare it after the btvirt it watches, so
// that it looks before that btvirt is ended.
class BtvirtWatch {
 public:
  explicit BtvirtWatch(ChildProcess& btvirt) : btvirt_(btvirt) {}
  ~BtvirtWatch();
  BtvirtWatch(const BtvirtWatch&) = delete;
  BtvirtWatch& operator=(const BtvirtWatch&) = delete;

 private:
  ChildProcess& btvirt_;
};

}  // namespace tarnexio_test
