// The spinner that long file copies turn on standard output. It turns at
// most once per 20 ticks (a fifth of a second at 100 ticks per second) and
// keeps its state for the whole run (the console holds it), so a second copy
// continues where the first left off.
#pragma once

#include <cstdio>

class Spinner {
  public:
    // Called once per copied block with the current tick count.
    void turn(unsigned now, FILE* out);

  private:
    static constexpr unsigned TICKS_PER_TURN = 20;
    unsigned lastTurn_ = 0;  // 0 until first drawn
    unsigned index_ = 0;     // next of the four characters
};

// The tick counter the spinner runs on (100 per second).
unsigned uptimeTicks();
