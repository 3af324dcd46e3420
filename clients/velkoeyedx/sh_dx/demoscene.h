#pragma once

// The built-in demonstration scene: boxes travel a path of six way points
// over a static layout, and the first ten stop and go on again.

#include "clients/velkoeyedx/sh_dx/animations.h"

// Queues the scene into an emptied model; the caller holds the scene lock.
void BuildDemo1(CAnimations& animations);
