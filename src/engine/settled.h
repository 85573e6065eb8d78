// Whether the schedule has anything to do. A record is settled when its
// action is none and no step of the schedule would give it one:
//   - what it needs is offered, and when it is enabled, by an enabled
//     package (needsOfEnabled, settleNeeds);
//   - when it is enabled, its bundle is enabled (needsOfEnabled) and it
//     conflicts with no other enabled package (resolveConflicts);
//   - a bundle record has an enabled member, or is disabled and has a
//     disabled one (bundleRecords).
// On a list of settled records applySchedule at level 0 changes nothing,
// stages nothing and says nothing.
#pragma once

#include "model/installer.h"

bool isSettled(const Installer& installer, const InstalledPackage& p);
bool allSettled(const Installer& installer);
// Whether a settled list stays so now that `added` has joined it in place of
// `replaced` (null for none). Only the two and the records whose
// settledness the change can take away are looked at again.
bool settledAfterChange(const Installer& installer, const InstalledPackage& added,
                        const InstalledPackage* replaced);
