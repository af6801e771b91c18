// tolv-mod: order form of Tolvane's sandwich shop, a module an HTTP server loads and calls once
// per request. It shows the form, checks an order, and mails it to a fax gateway or previews it.
//
// The module lists no libraries: libc and the host utilities (bound by their C++ names) come
// from the process that loads it. All output is buffered and leaves the process at exit.

#include "tolv-mod.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "module_api.h"

#if !defined(TOLV_MAIL_PROGRAM) || !defined(TOLV_GATEWAY)
#error "TOLV_MAIL_PROGRAM and TOLV_GATEWAY must be defined (see modules/CMakeLists.txt)"
#endif

const char *sublist[kSubCount] = {
    "The Lantern Sub",    "Big Anvil Sub",   "Driftwood Sub",   "Thistle Sub",
    "Cobalt Sub",         "Meadow Sub",      "Hearthside Club", "Bramble Club",
    "Harbor Lights Club", "Falconer's Club", "Orchard Club",    "The Tideline Club",
};
const char *slimlist[kSlimCount] = {
    "Hamstead", "Redline Beef", "Seaboard Tuna", "Gobbler Slice", "Salumi Stack", "Cheese Tower",
};
const char *sidelist[kSideCount] = {"Crunchmoor Potato Chips", "Grand Brine Pickle"};
const char *poplist[kPopCount] = {"Fizzbolt", "Ridge Rush", "Diet Fizzbolt", "Cold Leaf Tea"};

namespace {

constexpr char kPassword[] = "GarnetFoXy";
constexpr char kMailProgram[] = TOLV_MAIL_PROGRAM;
constexpr char kGateway[] = TOLV_GATEWAY;
constexpr size_t kCommandSize = 256;
// The command is the program, a blank and the address, with its NUL.
static_assert(sizeof kMailProgram + sizeof kGateway <= kCommandSize, "mail command too long");

// The customer's texts, NUL included: room for as many characters as the form's MAXLENGTH
// lets a browser send (the phone's 10 with room to spare).
constexpr size_t kNameSize = 33;
constexpr size_t kAddressSize = 65;
constexpr size_t kPhoneSize = 16;

// The form's lines under each sublist item.
constexpr const char *kSubDescriptions[kSubCount][2] = {
    {"Smoked virginia ham and provolone cheese topped with lettuce, tomato, and mayo.<P>"},
    {"Medium rare shaved roast beef topped with mayo, lettuce, and tomato.<P>"},
    {"Tuna, mixed with celery, onions, and sauce, topped with lettuce,",
     "tomato, and alfalfa sprouts.<P>"},
    {"Turkey breast topped with lettuce, mayo, alfalfa sprouts, and mayo.<P>"},
    {"Genoa salami and provolone cheese topped with capacola, onion, lettuce, tomato, and "
     "Italian sauce.<P>"},
    {"Layers of provolone cheese, separated by avocado, sprouts, lettuce, tomato, and mayo.<P>"},
    {"1/4 pound of smoked ham, provolone cheese, topped with lettuce,", "tomato, and mayo.<P>"},
    {"Shaved roast beef, provolone cheese, french dijon mustard, topped with shaved ham, lettuce,",
     "tomato, and mayo.<P>"},
    {"Genoa salami, Italian capacola, smoked ham, and provolone cheese topped with lettuce,",
     "tomato, onions, mayo, and Italian sauce.<P>"},
    {"1/4 pound of sliced roast beef, provolone cheese, topped with lettuce, tomato, and "
     "mayo.<P>"},
    {"Turkey breast, smoked ham, and provolonecheese topped with lettuce, tomato, and mayo.<P>"},
    {"Turkey breast, avocado, and cheese topped with lettuce, mayo, alfalfa, and tomato.<P>"},
};

// A group of items, its form field, and the letter's line for one of its items.
struct Menu {
  const char *field;
  const char *const *items;
  int count;
  const char *letterLine;
};
constexpr int kMenuCount = 4;
const Menu kMenus[kMenuCount] = {
    {"sub", sublist, kSubCount, "\t(1) %s%c"},
    {"slj", slimlist, kSlimCount, "\t(1) %s Lean Wren%c"},
    {"sde", sidelist, kSideCount, "\t(1) %s%c"},
    {"pop", poplist, kPopCount, "\t(1) %s%c"},
};
constexpr int kSlim = 1;  // the first group after sublist, in kMenus

// The customer's text fields, in the order they are checked.
struct TextField {
  const char *field;
  const char *missing;  // reason when no value was given
  const char *tooLong;  // reason when the value has no room in its buffer
};
constexpr int kTextCount = 3;
constexpr TextField kTextFields[kTextCount] = {
    {"name", "you didn't give your name", "your name is too long"},
    {"adr", "you didn't give your address", "your address is too long"},
    {"phone", "you didn't give your phone number", "your phone number is too long"},
};

// A text value of the order: its buffer, and whether the last value given did not fit in it.
struct Text {
  char *value;
  size_t size;
  bool tooLong;
};

struct Order {
  uint32_t masks[kMenuCount] = {};  // bit n: item n of kMenus[i] is ordered
  bool passwordOk = false;          // whether the last pwd field matched
  bool badNumber = false;           // whether an item number was out of int's range
  char name[kNameSize] = "";
  char address[kAddressSize] = "";
  char phone[kPhoneSize] = "";
  Text texts[kTextCount] = {
      {name, sizeof name, false}, {address, sizeof address, false}, {phone, sizeof phone, false}};

  Order() = default;
  Order(const Order &) = delete;  // texts point into the object itself
  Order &operator=(const Order &) = delete;
};

// Fixed page texts, one line each, without the line feed.
constexpr const char *kFormTop[] = {
    "<TITLE>Form for Submarine Order</TITLE>",
    "<H1>Tolvane's Submarine Order Form</H1>",
    "This form will send a faxed order to Tolvane's in Hesperton. Proper password is requred",
    "for order to be submitted, otherwise a copy of the order that would have been submitted will",
    "will be displayed.<P>",
    "<HR>",
    "<FORM ACTION=\"tolv\">",
    "Password: <INPUT TYPE=\"text\" NAME=\"pwd\" MAXLENGTH=\"20\"><P>",
    "<H3>Sub Type</H3>",
    "Select which you would like of the following:<P>",
};
// Above each group after sublist.
constexpr const char *kGroupHeadings[kMenuCount][2] = {
    {},
    {"<H3>Lean Wren Subs</H3>", "Subs without veggies or sauce.<P>"},
    {"<H3>Side orders</H3>"},
    {"<H3>Drinks</H3>"},
};
constexpr const char *kFormBottom[] = {
    "<H3>Your Address, Phone Number, and Name</H3>",
    "<INPUT TYPE=\"text\" NAME=\"name\" MAXLENGTH=\"32\">Name<P>",
    "<INPUT TYPE=\"text\" NAME=\"adr\" MAXLENGTH=\"64\">Address<P>",
    "<INPUT TYPE=\"text\" NAME=\"phone\" MAXLENGTH=\"10\">Phone Number<P>",
    "<INPUT type=\"submit\">",
    "</FORM>",
};
constexpr const char *kServerError[] = {
    "<TITLE>Server Error</TITLE>",
    "<H1>Server Error</H1>",
    "Server unable to get a temporary file. Please try again later.<P>",
};
constexpr const char *kSent[] = {
    "<TITLE>Order Sent</TITLE>",
    "<H1>Order Sent</H1>",
    "Your order has been sent to the Vantry e-mail to FAX gateway.<P>",
};
constexpr const char *kPreview[] = {
    "<TITLE>Your Order</TITLE>",
    "<H1>Your Order</H1>",
    "This is how your order would have looked if it had been sent.<P><PLAINTEXT>",
};

// Writes each text of lines (null: none) as one line.
template <size_t N>
void writeLines(FILE *out, const char *const (&lines)[N]) {
  for (const char *line : lines)
    if (line != nullptr) fprintf(out, "%s%c", line, '\n');
}

void writeHeader(FILE *out) { fprintf(out, "Content-type: text/html%c%c", '\n', '\n'); }

void writeForm(FILE *out) {
  writeLines(out, kFormTop);
  for (int n = 0; n < kSubCount; n++) {
    fprintf(out, "<INPUT TYPE=\"checkbox\" NAME=\"sub\" VALUE=\"%d\">%s:%c", n, sublist[n], '\n');
    writeLines(out, kSubDescriptions[n]);
  }
  for (int m = kSlim; m < kMenuCount; m++) {
    writeLines(out, kGroupHeadings[m]);
    for (int n = 0; n < kMenus[m].count; n++)
      fprintf(out, "<INPUT TYPE=\"checkbox\" NAME=\"%s\" VALUE=\"%d\">%s<P>%c", kMenus[m].field, n,
              kMenus[m].items[n], '\n');
  }
  writeLines(out, kFormBottom);
}

void writeNotSubmitted(FILE *out, const char *reason) {
  fprintf(out, "<TITLE>Order Not Submitted</TITLE>%c", '\n');
  fprintf(out, "<H1>Order Not Submitted</H1>%c", '\n');
  fprintf(out, "Your order has not been submitted, because %s.<P>%c", reason, '\n');
}

// Returns whether a temporary file can be made in TMPDIR (or /tmp). The file is removed at
// once, so none is ever left behind.
bool canMakeTempFile() {
  const char *dir = getenv("TMPDIR");
  if (dir == nullptr || *dir == '\0') dir = "/tmp";
  char path[PATH_MAX];
  int n = snprintf(path, sizeof path, "%s/tolvXXXXXX", dir);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) return false;
  int fd = mkstemp(path);
  if (fd < 0) return false;
  unlink(path);
  close(fd);
  return true;
}

// Returns the length of the n bytes at s once unescape_url has decoded them: each "%XX" escape
// (two hex digits) becomes one byte. strlen cannot tell it, since %00 decodes to a NUL, and the
// host's unescape_url gives no result. plustospace, which runs first, changes neither '%' nor
// a hex digit.
size_t decodedLength(const char *s, size_t n) {
  size_t escapes = 0;
  for (size_t i = 0; i + 2 < n; i++) {
    if (s[i] == '%' && isxdigit(static_cast<unsigned char>(s[i + 1])) &&
        isxdigit(static_cast<unsigned char>(s[i + 2]))) {
      escapes++;
      i += 2;
    }
  }
  return n - 2 * escapes;
}

// Takes the next word of query, up to stop, into word (see getword), which has room for all of
// query, and decodes it. Returns the decoded length, NULs inside included.
size_t takeWord(char *word, char *query, char stop) {
  const char stops[] = {stop, '\0'};
  size_t length = decodedLength(query, strcspn(query, stops));
  getword(word, query, stop);
  plustospace(word);
  unescape_url(word);
  return length;
}

// Returns whether the length bytes of word are exactly text: one with a NUL inside never is.
bool isExactly(const char *word, size_t length, const char *text) {
  return length == strlen(text) && memcmp(word, text, length) == 0;
}

// Reads the item number at the front of value as atoi does (white space, a sign, decimal
// digits; 0 without digits), but whole: returns false if it lies outside int's range.
bool readItemNumber(const char *value, int &n) {
  errno = 0;
  long v = strtol(value, nullptr, 10);
  if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  n = static_cast<int>(v);
  return true;
}

// Stores the n bytes of value in t with every control character (NUL included) made a
// blank, so that no value can start a line of the letter ("." ends a mail, "~" commands some
// mailers). A value without room is not stored; t is marked too long instead.
void setText(Text &t, const char *value, size_t n) {
  t.tooLong = n >= t.size;
  if (t.tooLong) n = 0;
  for (size_t i = 0; i < n; i++) {
    unsigned char c = static_cast<unsigned char>(value[i]);
    t.value[i] = c < 0x20 || c == 0x7f ? ' ' : value[i];
  }
  t.value[n] = '\0';
}

// Reads the fields of query into o, taking each word into word, which has room for all of query.
void parseQuery(Order &o, char *query, char *word) {
  while (*query != '\0') {
    size_t length = takeWord(word, query, '=');
    int menu = -1, text = -1;
    bool password = isExactly(word, length, "pwd");
    for (int m = 0; m < kMenuCount; m++)
      if (isExactly(word, length, kMenus[m].field)) menu = m;
    for (int t = 0; t < kTextCount; t++)
      if (isExactly(word, length, kTextFields[t].field)) text = t;

    length = takeWord(word, query, '&');
    if (password) o.passwordOk = isExactly(word, length, kPassword);
    int n;
    if (menu >= 0 && readItemNumber(word, n))
      o.masks[menu] |= uint32_t{1} << (n & 31);
    else if (menu >= 0)
      o.badNumber = true;
    if (text >= 0) setText(o.texts[text], word, length);
  }
}

// Returns whether o orders an item: a bit beyond its table orders nothing.
bool ordersAnything(const Order &o) {
  for (int m = 0; m < kMenuCount; m++)
    if ((o.masks[m] & ((uint32_t{1} << kMenus[m].count) - 1)) != 0) return true;
  return false;
}

// Returns the reason the order cannot be submitted, or null if it can.
const char *problemWith(const Order &o) {
  for (int t = 0; t < kTextCount; t++) {
    if (o.texts[t].tooLong) return kTextFields[t].tooLong;
    if (o.texts[t].value[0] == '\0') return kTextFields[t].missing;
  }
  if (o.badNumber) return "an item number is out of range";
  if (!ordersAnything(o)) return "you didn't order anything";
  return nullptr;
}

void writeLetter(FILE *out, const Order &o) {
  fprintf(out, "My name is %s, and I would like to have the following%c", o.name, '\n');
  fprintf(out, "order delivered to %s:%c%c", o.address, '\n', '\n');
  for (int m = 0; m < kMenuCount; m++)
    for (int n = 0; n < kMenus[m].count; n++)
      if ((o.masks[m] >> n & 1) != 0) fprintf(out, kMenus[m].letterLine, kMenus[m].items[n], '\n');
  fprintf(out, "%cPlease feel free to call me at %s if there is any%c", '\n', o.phone, '\n');
  fprintf(out, "problem. Thank you.%c%c.%c", '\n', '\n', '\n');
}

// Pipes the letter into the mail command. Returns null if the command took all of it and
// exited with status 0, else the reason the order was not submitted.
const char *mailOrder(const Order &o) {
  char command[kCommandSize];
  snprintf(command, sizeof command, "%s %s", kMailProgram, kGateway);
  FILE *mail = popen(command, "w");
  if (mail == nullptr) return "the server was unable to open a pipe to mail";
  // A mail command that stops reading must not end this process with SIGPIPE; it is set after
  // popen so that the command itself keeps the default.
  struct sigaction ignore = {}, old = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);
  writeLetter(mail, o);
  bool written = fflush(mail) == 0;
  int status = pclose(mail);
  sigaction(SIGPIPE, &old, nullptr);
  if (!written || status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return "the mail server did not accept the order";
  return nullptr;
}

}  // namespace

void dump_form(FILE *out) {
  writeForm(out);
  exit(0);
}

void print_error(FILE *out, const char *reason) {
  writeNotSubmitted(out, reason);
  exit(1);
}

int handleRequest(FILE *client, char *query) {
  writeHeader(client);
  if (query == nullptr || *query == '\0') {
    writeForm(client);
    return 0;
  }
  if (!canMakeTempFile()) {
    writeLines(client, kServerError);
    return 1;
  }
  // A word is never longer than the query it is taken from, so none is ever cut.
  char *word = static_cast<char *>(malloc(strlen(query) + 1));
  if (word == nullptr) {
    writeNotSubmitted(client, "the server ran out of memory");
    return 1;
  }
  Order o;
  parseQuery(o, query, word);
  free(word);
  const char *reason = problemWith(o);
  if (reason == nullptr && o.passwordOk) reason = mailOrder(o);
  if (reason != nullptr) {
    writeNotSubmitted(client, reason);
    return 1;
  }
  if (o.passwordOk) {
    writeLines(client, kSent);
  } else {
    writeLines(client, kPreview);
    writeLetter(client, o);
  }
  return 0;
}

void httprun(int fd, char *) {
  FILE *client = fdopen(fd, "r+");
  if (client == nullptr) {
    perror("fdopen");
    exit(1);
  }
  exit(handleRequest(client, getenv("QUERY_STRING")));
}
