// The three utilities a host gives the modules it loads, exported under their C++ names.
#pragma once

// Copies line up to the first stop character (or its end) into word, NUL-terminated,
// and removes that text and the stop character from the front of line, in place.
// word must have room for strcspn(line, {stop}) + 1 bytes.
void getword(char *word, char *line, char stop);
// Turns every '+' of s into a blank.
void plustospace(char *s);
// Replaces every "%XX" escape (two hex digits) of s by the byte it encodes.
// A '%' without two hex digits after it stays as it is.
void unescape_url(char *s);
