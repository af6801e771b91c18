// A number in decimal for output written by hand, where stdio may not be used: in a signal
// handler, or in a program whose heap is on display. Nothing here allocates.
#pragma once

struct Decimal {
  char digits[24];
  const char *text;  // NUL-terminated, inside digits
  explicit Decimal(unsigned long long magnitude, bool negative = false) {
    char *p = digits + sizeof digits;
    *--p = '\0';
    do *--p = static_cast<char>('0' + magnitude % 10);
    while ((magnitude /= 10) != 0);
    if (negative) *--p = '-';
    text = p;
  }
  Decimal(const Decimal &) = delete;  // text points into the object itself
  static Decimal of(long v) {
    return Decimal(v < 0 ? 0ull - static_cast<unsigned long long>(v) : v, v < 0);
  }
};
