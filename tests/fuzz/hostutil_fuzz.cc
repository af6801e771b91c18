// Fuzz target for the host utilities: splitting a query and decoding a word.
// Properties: the split loses and invents nothing; decoding never lengthens.
#include <stdint.h>
#include <string.h>

#include <string>

#include "fuzz.h"
#include "module_api.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  char stop = static_cast<char>(data[0]);
  std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  std::string line = text.c_str();  // the utilities see up to the first NUL
  std::string original = line;

  // getword: word + stop + rest of line == the line before.
  std::string query = line;
  std::string word(query.size() + 1, 'X');
  getword(word.data(), query.data(), stop);
  size_t wordLength = strlen(word.c_str());
  std::string rest = query.c_str();
  FUZZ_REQUIRE(original.compare(0, wordLength, word.c_str()) == 0);
  bool stopped = wordLength < original.size();
  if (stopped) FUZZ_REQUIRE(original[wordLength] == stop);
  FUZZ_REQUIRE(memchr(word.c_str(), stop, wordLength) == nullptr || stop == '\0');
  FUZZ_REQUIRE(rest == original.substr(wordLength + (stopped ? 1 : 0)));

  // plustospace then unescape_url: no '+' survives the first; the second only
  // shortens, three bytes into one per escape.
  std::string decoded = original;
  plustospace(decoded.data());
  FUZZ_REQUIRE(strchr(decoded.c_str(), '+') == nullptr);
  size_t before = strlen(decoded.c_str());
  unescape_url(decoded.data());
  size_t after = strlen(decoded.c_str());
  FUZZ_REQUIRE(after <= before);
  if (original.find('%') == std::string::npos) FUZZ_REQUIRE(after == before);
  return 0;
}
