// Deadlines on a clock that never goes back, in milliseconds, for poll and its kin.
#pragma once

// Milliseconds on the monotonic clock.
long long nowMillis();

// Returns milliseconds left until deadline, at least 0, at most INT_MAX.
int millisLeft(long long deadline);
