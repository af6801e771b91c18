// Deadlines on the monotonic clock; see deadline.h.
#include "deadline.h"

#include <limits.h>
#include <time.h>

long long nowMillis() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

int millisLeft(long long deadline) {
  long long left = deadline - nowMillis();
  if (left < 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}
