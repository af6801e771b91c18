// Fuzz target for the order form's request handling: the input, up to its first NUL, is the
// query handleRequest parses in place (an empty input: no query at all).
// Properties: the page is one of the module's pages, with its status; the form only without
// a query; a letter, previewed or mailed, has exactly the letter's lines, at least one item line
// among them, its texts never longer than the query nor than their buffers and free of control
// characters, so that only its last line is a single full stop and none starts with '~'; the mail
// command, exactly the module's command line, is started exactly for the pages that say so; no
// temporary file is left behind.
//
// A mail command costs a process or three per input, which would slow the fuzzer down a
// hundredfold once it finds the password. So popen and pclose are stood in for here: for one
// query length in eight the module's popen starts the real command (the module tests' stand-in,
// which keeps the letter and exits with MAILSTUB_STATUS); for the others popen hands the module a
// memory stream, or fails. Which, and whether the mail is refused, the query's length decides.
#include <dlfcn.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz.h"
#include "pages.h"
#include "testdir.h"
#include "tolv-mod.h"

namespace {

constexpr const char *kMailRefused = "the mail server did not accept the order";
constexpr const char *kNoPipe = "the server was unable to open a pipe to mail";
constexpr const char *kMailCommand = TOLV_MAIL_PROGRAM " " TOLV_GATEWAY;

// What popen and the mail command do with the next order.
enum class Mail { kRealAccepts, kRealRefuses, kNoPipe, kRefuses, kAccepts };

Mail mailFor(size_t queryLength) {
  switch (queryLength % 16) {
    case 0:
      return Mail::kRealAccepts;
    case 8:
      return Mail::kRealRefuses;
    case 1:
      return Mail::kNoPipe;
    case 2:
    case 3:
      return Mail::kRefuses;
    default:
      return Mail::kAccepts;
  }
}

// The mail of the current input: what popen was asked, and the letter of a memory stream.
// Outside a request (active false) popen and pclose are libc's.
struct MailRecord {
  bool active = false;
  Mail mode = Mail::kAccepts;
  bool started = false;
  std::string command;
  FILE *memory = nullptr;
  char *letter = nullptr;
  size_t letterLength = 0;
} mail;

template <typename F>
F realFunction(const char *name) {
  void *f = dlsym(RTLD_NEXT, name);
  FUZZ_REQUIRE(f != nullptr);
  return reinterpret_cast<F>(f);
}

// Every reason the module gives on its not-submitted page.
constexpr const char *kReasons[] = {
    "you didn't give your name",
    "you didn't give your address",
    "you didn't give your phone number",
    "you didn't order anything",
    "your name is too long",
    "your address is too long",
    "your phone number is too long",
    "an item number is out of range",
    "the server ran out of memory",
    kNoPipe,
    kMailRefused,
};

// The module's buffers for the customer's texts, NUL included.
constexpr size_t kNameSize = 33;
constexpr size_t kAddressSize = 65;
constexpr size_t kPhoneSize = 16;

// Scratch folders made once: tmp is the module's TMPDIR, mailDir the mail stand-in's folder.
struct Scratch {
  TestDir dir;
  std::string tmp = dir.subdir("tmp");
  std::string mailDir = dir.subdir("mail");
  std::string letter = mailDir + "/letter";
  std::string args = mailDir + "/args";
  std::vector<std::string> itemLines;  // every item line of a letter, in the letter's order

  Scratch() {
    setenv("TMPDIR", tmp.c_str(), 1);
    setenv("MAILSTUB_DIR", mailDir.c_str(), 1);
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
  // Item lines, at least one, each a known one, in the letter's order and none twice.
  size_t next = 0, i = 3;
  for (; i < lines.size() - 5; i++) {
    size_t n = next;
    while (n < s.itemLines.size() && s.itemLines[n] != lines[i]) n++;
    FUZZ_REQUIRE(n < s.itemLines.size());
    next = n + 1;
  }
  FUZZ_REQUIRE(i > 3);
  FUZZ_REQUIRE(lines[i].empty());
  checkText(between(lines[i + 1], "Please feel free to call me at ", " if there is any"),
            kPhoneSize, queryLength);
  FUZZ_REQUIRE(lines[i + 2] == "problem. Thank you.");
  FUZZ_REQUIRE(lines[i + 3].empty());
  FUZZ_REQUIRE(lines[i + 4] == ".");
}

}  // namespace

extern "C" FILE *popen(const char *command, const char *modes) {
  static auto real = realFunction<FILE *(*)(const char *, const char *)>("popen");
  if (!mail.active) return real(command, modes);
  mail.started = true;
  mail.command = command;
  if (mail.mode == Mail::kRealAccepts || mail.mode == Mail::kRealRefuses)
    return real(command, modes);
  if (mail.mode == Mail::kNoPipe) {
    errno = EMFILE;
    return nullptr;
  }
  mail.memory = open_memstream(&mail.letter, &mail.letterLength);
  return mail.memory;
}

extern "C" int pclose(FILE *stream) {
  static auto real = realFunction<int (*)(FILE *)>("pclose");
  if (stream != mail.memory) return real(stream);
  mail.memory = nullptr;
  if (fclose(stream) != 0) return -1;
  return mail.mode == Mail::kRefuses ? W_EXITCODE(1, 0) : W_EXITCODE(0, 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Scratch s;
  // The query in a buffer of exactly its size, so that the sanitizers see any write past it.
  std::vector<char> query(data, data + size);
  query.push_back('\0');
  size_t queryLength = strlen(query.data());
  mail = MailRecord{};
  mail.mode = mailFor(queryLength);
  bool real = mail.mode == Mail::kRealAccepts || mail.mode == Mail::kRealRefuses;
  bool refusing = mail.mode == Mail::kRealRefuses || mail.mode == Mail::kRefuses;
  setenv("MAILSTUB_STATUS", mail.mode == Mail::kRealRefuses ? "1" : "0", 1);
  unlink(s.letter.c_str());
  unlink(s.args.c_str());

  char *buf = nullptr;
  size_t len = 0;
  FILE *client = open_memstream(&buf, &len);
  FUZZ_REQUIRE(client != nullptr);
  mail.active = true;
  int status = handleRequest(client, size == 0 ? nullptr : query.data());
  mail.active = false;
  FUZZ_REQUIRE(fclose(client) == 0);
  std::string out(buf, len);
  free(buf);
  FUZZ_REQUIRE(mail.memory == nullptr);  // every pipe closed
  std::string letter = real ? readFile(s.letter) : std::string(mail.letter, mail.letterLength);
  free(mail.letter);

  FUZZ_REQUIRE(filesIn(s.tmp).empty());
  FUZZ_REQUIRE(status == 0 || status == 1);
  FUZZ_REQUIRE(startsWith(out, kHeader));
  std::string page = out.substr(kHeader.size());
  if (mail.started) {
    FUZZ_REQUIRE(mail.command == kMailCommand);
    if (real) FUZZ_REQUIRE(readFile(s.args) == std::string(TOLV_GATEWAY) + "\n");
  }

  if (queryLength == 0) {
    FUZZ_REQUIRE(page == kForm && status == 0 && !mail.started);
  } else if (page == kSent) {
    FUZZ_REQUIRE(status == 0 && mail.started && mail.mode != Mail::kNoPipe && !refusing);
    checkLetter(s, letter, queryLength);
  } else if (startsWith(page, kPreview)) {
    FUZZ_REQUIRE(status == 0 && !mail.started);
    checkLetter(s, page.substr(kPreview.size()), queryLength);
  } else if (page == kServerError) {
    FUZZ_REQUIRE(status == 1 && !mail.started);
  } else {
    const char *reason = nullptr;
    for (const char *r : kReasons)
      if (page == notSubmitted(r)) reason = r;
    FUZZ_REQUIRE(reason != nullptr && status == 1);
    if (reason == kMailRefused) {
      FUZZ_REQUIRE(mail.started && refusing);
      checkLetter(s, letter, queryLength);
    } else if (reason == kNoPipe) {
      FUZZ_REQUIRE(mail.started && mail.mode == Mail::kNoPipe);
    } else {
      FUZZ_REQUIRE(!mail.started);
    }
  }
  return 0;
}
