// Fuzz target for the order form's request handling: the input, up to its first NUL, is the
// query handleRequest parses in place (an empty input: no query at all).
// Properties: the page is one of the documented pages, with its status; the form only without
// a query; a letter, previewed or mailed, has exactly the letter's lines, its texts never longer
// than the query nor than their buffers and free of control characters, so that only its last
// line is a single full stop and none starts with '~'; the mail command runs exactly for the
// pages that say so; no temporary file is left behind.
//
// Sent orders go to the module tests' mail stand-in, which keeps the letter. It refuses the
// order (exits 1) when the query's length is a multiple of kRefusingLength, so that both
// answers of the mail command are tried.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz.h"
#include "pages.h"
#include "testdir.h"
#include "tolv-mod.h"

namespace {

constexpr size_t kRefusingLength = 5;
constexpr const char *kMailRefused = "the mail server did not accept the order";

// Every reason the module gives on its not-submitted page.
constexpr const char *kReasons[] = {
    "you didn't give your name",
    "you didn't give your address",
    "you didn't give your phone number",
    "you didn't order anything",
    "your name is too long",
    "your address is too long",
    "your phone number is too long",
    "the server was unable to open a pipe to mail",
    kMailRefused,
};

// The module's buffers for the customer's texts, NUL included.
constexpr size_t kNameSize = 32;
constexpr size_t kAddressSize = 64;
constexpr size_t kPhoneSize = 16;

// Scratch folders made once: tmp is the module's TMPDIR, mail the stand-in's folder.
struct Scratch {
  TestDir dir;
  std::string tmp = dir.subdir("tmp");
  std::string mail = dir.subdir("mail");
  std::string letter = mail + "/letter";
  std::string args = mail + "/args";
  std::vector<std::string> itemLines;  // every item line of a letter, in the letter's order

  Scratch() {
    setenv("TMPDIR", tmp.c_str(), 1);
    setenv("MAILSTUB_DIR", mail.c_str(), 1);
    const struct {
      const char *const *items;
      int count;
      const char *suffix;
    } menus[] = {{sublist, kSubCount, ""},
                 {slimlist, kSlimCount, " Lean Wren"},
                 {sidelist, kSideCount, ""},
                 {poplist, kPopCount, ""}};
    for (const auto &m : menus)
      for (int n = 0; n < m.count; n++)
        itemLines.push_back(std::string("\t(1) ") + m.items[n] + m.suffix);
  }
};

bool startsWith(const std::string &s, const std::string &prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// Returns the text between prefix and suffix of line, which must hold both.
std::string between(const std::string &line, const std::string &prefix, const std::string &suffix) {
  FUZZ_REQUIRE(line.size() >= prefix.size() + suffix.size());
  FUZZ_REQUIRE(startsWith(line, prefix));
  FUZZ_REQUIRE(line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0);
  return line.substr(prefix.size(), line.size() - prefix.size() - suffix.size());
}

// A customer's text as the letter shows it: present, decoded no longer than the query, fitting
// its buffer, with no control character.
void checkText(const std::string &text, size_t size, size_t queryLength) {
  FUZZ_REQUIRE(!text.empty());
  FUZZ_REQUIRE(text.size() <= queryLength);
  FUZZ_REQUIRE(text.size() < size);
  for (unsigned char c : text) FUZZ_REQUIRE(c >= 0x20 && c != 0x7f);
}

void checkLetter(const Scratch &s, const std::string &letter, size_t queryLength) {
  FUZZ_REQUIRE(letter.size() >= 3 && letter.compare(letter.size() - 3, 3, "\n.\n") == 0);
  std::vector<std::string> lines;
  for (size_t at = 0, end; at < letter.size(); at = end + 1) {
    end = letter.find('\n', at);
    lines.push_back(letter.substr(at, end - at));
  }
  for (size_t i = 0; i + 1 < lines.size(); i++)
    FUZZ_REQUIRE(lines[i] != "." && !startsWith(lines[i], "~"));
  FUZZ_REQUIRE(lines.size() >= 8);

  checkText(between(lines[0], "My name is ", ", and I would like to have the following"), kNameSize,
            queryLength);
  checkText(between(lines[1], "order delivered to ", ":"), kAddressSize, queryLength);
  FUZZ_REQUIRE(lines[2].empty());
  // Item lines, each a known one, in the letter's order and none twice.
  size_t next = 0, i = 3;
  for (; i < lines.size() - 5; i++) {
    size_t n = next;
    while (n < s.itemLines.size() && s.itemLines[n] != lines[i]) n++;
    FUZZ_REQUIRE(n < s.itemLines.size());
    next = n + 1;
  }
  FUZZ_REQUIRE(lines[i].empty());
  checkText(between(lines[i + 1], "Please feel free to call me at ", " if there is any"),
            kPhoneSize, queryLength);
  FUZZ_REQUIRE(lines[i + 2] == "problem. Thank you.");
  FUZZ_REQUIRE(lines[i + 3].empty());
  FUZZ_REQUIRE(lines[i + 4] == ".");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Scratch s;
  // The query in a buffer of exactly its size, so that the sanitizers see any write past it.
  std::vector<char> query(data, data + size);
  query.push_back('\0');
  size_t queryLength = strlen(query.data());
  bool refusing = queryLength % kRefusingLength == 0;
  setenv("MAILSTUB_STATUS", refusing ? "1" : "0", 1);
  unlink(s.letter.c_str());
  unlink(s.args.c_str());

  char *buf = nullptr;
  size_t len = 0;
  FILE *client = open_memstream(&buf, &len);
  FUZZ_REQUIRE(client != nullptr);
  int status = handleRequest(client, size == 0 ? nullptr : query.data());
  FUZZ_REQUIRE(fclose(client) == 0);
  std::string out(buf, len);
  free(buf);

  FUZZ_REQUIRE(filesIn(s.tmp).empty());
  bool mailed = access(s.letter.c_str(), F_OK) == 0;
  FUZZ_REQUIRE(status == 0 || status == 1);
  FUZZ_REQUIRE(startsWith(out, kHeader));
  std::string page = out.substr(kHeader.size());

  if (queryLength == 0) {
    FUZZ_REQUIRE(page == kForm && status == 0);
    FUZZ_REQUIRE(!mailed);
  } else if (page == kSent) {
    FUZZ_REQUIRE(status == 0 && mailed && !refusing);
    FUZZ_REQUIRE(readFile(s.args) == std::string(TOLV_GATEWAY) + "\n");
    checkLetter(s, readFile(s.letter), queryLength);
  } else if (startsWith(page, kPreview)) {
    FUZZ_REQUIRE(status == 0 && !mailed);
    checkLetter(s, page.substr(kPreview.size()), queryLength);
  } else if (page == kServerError) {
    FUZZ_REQUIRE(status == 1 && !mailed);
  } else {
    const char *reason = nullptr;
    for (const char *r : kReasons)
      if (page == notSubmitted(r)) reason = r;
    FUZZ_REQUIRE(reason != nullptr && status == 1);
    bool refused = strcmp(reason, kMailRefused) == 0;
    FUZZ_REQUIRE(mailed == refused);
    if (refused) {
      FUZZ_REQUIRE(refusing);
      checkLetter(s, readFile(s.letter), queryLength);
    }
  }
  return 0;
}
