// The post-install log "/flash/postlog": the messages of each run, kept
// across runs.
#pragma once

#include "txn/space.h"

class Installer;

// Makes room for this run's log at the start, so that a full flash cannot
// keep it from being written. A plan only notes the reservation.
void reservePostLog(Installer& installer);
// What the reservation writes, for a plan's space estimate.
InPlaceWrite postLogReservation();
void writePostLog(Installer& installer);
