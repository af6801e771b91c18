// The order-form module run for real: this program is its host (it exports the host utilities
// under their C++ names), and each request runs in a child process on one end of a socket pair.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "child.h"
#include "module_api.h"
#include "pages.h"
#include "testdir.h"

namespace {

// Every test has a temporary folder of its own, which must be empty again afterwards, and a
// folder where the stand-in mail command records what it got.
class TolvTest : public testing::Test {
 protected:
  void TearDown() override {
    std::vector<std::string> left = filesIn(tmp_);
    EXPECT_TRUE(left.empty()) << "left behind in the temporary folder: " << left[0];
  }

  // Runs module with QUERY_STRING set to query (unset if query is null), TMPDIR the test's
  // folder and the variables of env set; before it runs, prepare runs in the child.
  ChildResult run(const char *query, const char *module = TOLV_MODULE,
                  std::vector<std::pair<const char *, std::string>> env = {},
                  const std::function<void()> &prepare = {}, Channel channel = Channel::Socket) {
    env.insert(env.begin(), {{"TMPDIR", tmp_}, {"MAILSTUB_DIR", mail_}});  // env may override
    return runInChild(
        [&](int fd) {
          if (query != nullptr)
            setenv("QUERY_STRING", query, 1);
          else
            unsetenv("QUERY_STRING");
          for (const auto &[name, value] : env) setenv(name, value.c_str(), 1);
          void *handle = dlopen(module, RTLD_LAZY);
          void *entry = handle != nullptr ? dlsym(handle, kHttpRunSymbol) : nullptr;
          if (entry == nullptr) {
            fprintf(stderr, "%s\n", dlerror());
            _exit(98);
          }
          if (prepare) prepare();
          char ignored[] = "ignored=1";
          reinterpret_cast<HttpRun>(entry)(fd, ignored);
        },
        channel);
  }

  // Expects the header and page on the client, nothing on standard error, and exit status.
  static void expectPage(const ChildResult &r, const std::string &page, int status) {
    EXPECT_EQ(r.out, kHeader + page);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(exitedWith(r.status, status)) << "wait status " << r.status;
  }

  std::string mailed(const char *what) const { return readFile(mail_ + "/" + what); }

  TestDir dir_;
  std::string tmp_ = dir_.subdir("tmp");
  std::string mail_ = dir_.subdir("mail");
};

constexpr char kCustomer[] = "&name=Ann+Lee&adr=3+Oak+Road&phone=555-0199";

// The preview page of an order from kCustomer with the given item lines.
std::string previewOf(const std::string &items) {
  return kPreview + letter("Ann Lee", "3 Oak Road", items, "555-0199");
}

TEST_F(TolvTest, FormWithoutQuery) {
  ChildResult unset = run(nullptr);
  expectPage(unset, kForm, 0);
  EXPECT_EQ(std::count(unset.out.begin(), unset.out.end(), '\n'), 2 + 60);
  expectPage(run(""), kForm, 0);
}

TEST_F(TolvTest, WorkedExamplePreview) {
  ChildResult r = run("name=Customer+One&adr=12+Elm+Street&phone=555-0100&sub=0&pop=1");
  expectPage(r,
             kPreview +
                 "My name is Customer One, and I would like to have the following\n"
                 "order delivered to 12 Elm Street:\n"
                 "\n"
                 "\t(1) The Lantern Sub\n"
                 "\t(1) Ridge Rush\n"
                 "\n"
                 "Please feel free to call me at 555-0100 if there is any\n"
                 "problem. Thank you.\n"
                 "\n"
                 ".\n",
             0);
}

TEST_F(TolvTest, BrowserSubmissionListsEveryGroup) {
  std::string query = std::string("pwd=&sub=11&sub=1&slj=0&slj=5&sde=0&sde=1&pop=3") + kCustomer;
  expectPage(run(query.c_str()),
             previewOf("\t(1) Big Anvil Sub\n\t(1) The Tideline Club\n"
                       "\t(1) Hamstead Lean Wren\n\t(1) Cheese Tower Lean Wren\n"
                       "\t(1) Crunchmoor Potato Chips\n\t(1) Grand Brine Pickle\n"
                       "\t(1) Cold Leaf Tea\n"),
             0);
}

TEST_F(TolvTest, ItemNumbersAndFieldNames) {
  const struct {
    const char *fields;
    const char *items;
  } cases[] = {
      {"sub=7&sub=3", "\t(1) Thistle Sub\n\t(1) Bramble Club\n"},  // ascending, accumulated
      {"pop=2&pop=2", "\t(1) Diet Fizzbolt\n"},                    // one of each item
      {"sub=abc", "\t(1) The Lantern Sub\n"},                      // not a number: 0
      {"sub=", "\t(1) The Lantern Sub\n"},
      {"sub=+7", "\t(1) Bramble Club\n"},                // '+' is a blank, which atoi skips
      {"sub=33", "\t(1) Big Anvil Sub\n"},               // 33 AND 31 is 1
      {"sub=12&sub=-1&pop=2", "\t(1) Diet Fizzbolt\n"},  // bits beyond the tables: no line
      {"s%75b=2", "\t(1) Driftwood Sub\n"},              // field names are decoded too
      {"x=1&sub=4", "\t(1) Cobalt Sub\n"},               // unknown fields are skipped
      {"SUB=4&sub=6", "\t(1) Hearthside Club\n"},        // names are case-sensitive
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.fields);
    std::string query = c.fields + std::string(kCustomer);
    expectPage(run(query.c_str()), previewOf(c.items), 0);
  }
  // A last field without '=' has an empty value.
  expectPage(run((std::string(kCustomer + 1) + "&sub").c_str()),
             previewOf("\t(1) The Lantern Sub\n"), 0);
}

TEST_F(TolvTest, TextDecoding) {
  const struct {
    const char *query;
    const char *name;
  } cases[] = {
      {"name=A+%2B+B", "A + B"},             // '+' before %2B
      {"na%6De=Zed", "Zed"},                 // escaped field name
      {"name=First&name=Second", "Second"},  // the last one counts
      {"name=%41%6c%5A%zz%4", "AlZ%zz%4"},   // bad escapes stay
      {"name=Jos%C3%A9", "Jos\xC3\xA9"},     // bytes above 127 are kept
      {"name=Ann%00Lee", "Ann Lee"},         // a NUL is a control character like any other
      {"name=+", " "},                       // a single blank is a name
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.query);
    std::string query = std::string(c.query) + "&adr=A&phone=P&sub=0";
    expectPage(run(query.c_str()), kPreview + letter(c.name, "A", "\t(1) The Lantern Sub\n", "P"),
               0);
  }
}

TEST_F(TolvTest, ValidationOrder) {
  const struct {
    const char *query;
    const char *reason;
  } cases[] = {
      {"a=b", "you didn't give your name"},
      {"adr=A&phone=P&sub=0", "you didn't give your name"},
      {"name=&adr=&phone=&sub=0", "you didn't give your name"},
      {"name=N&phone=P&sub=0", "you didn't give your address"},
      {"name=N&adr=A&phone=&sub=0", "you didn't give your phone number"},
      {"name=N&adr=A&phone=P", "you didn't order anything"},
      {"x&sub=4&name=N&adr=A&phone=P", "you didn't order anything"},  // field "x&sub"
      {"pwd=GarnetFoXy&name=N&adr=A&phone=P", "you didn't order anything"},
      // Only a bit inside a table orders something.
      {"sub=12&sub=-1&slj=6&sde=2&pop=4&name=N&adr=A&phone=P", "you didn't order anything"},
      // A field name with a NUL inside is no known field.
      {"name%00x=Bob&adr=A&phone=P&sub=0", "you didn't give your name"},
      {"sub%00=3&name=N&adr=A&phone=P", "you didn't order anything"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.query);
    expectPage(run(c.query), notSubmitted(c.reason), 1);
  }
}

TEST_F(TolvTest, OnlyTheExactLastPasswordSends) {
  const char *previews[] = {"pwd=GarnetFoXy&pwd=x&sub=0",  "pwd=garnetfoxy&sub=0",
                            "pwd=GarnetFoXyZ&sub=0",       "pwd=GarnetFoX&sub=0",
                            "pwd=GarnetFoXy%00junk&sub=0", "pwd=GarnetFoXy%00&sub=0"};
  for (const char *fields : previews) {
    SCOPED_TRACE(fields);
    std::string query = fields + std::string(kCustomer);
    expectPage(run(query.c_str(), STUB_MODULE), previewOf("\t(1) The Lantern Sub\n"), 0);
    EXPECT_EQ(mailed("letter"), "<missing>");
  }
  // Nothing inside a table: nothing is mailed, password or not.
  std::string query = "pwd=GarnetFoXy&sub=12&pop=4" + std::string(kCustomer);
  expectPage(run(query.c_str(), STUB_MODULE), notSubmitted("you didn't order anything"), 1);
  EXPECT_EQ(mailed("letter"), "<missing>");
  query = "pwd=x&pwd=Garnet%46oXy&sub=0" + std::string(kCustomer);
  expectPage(run(query.c_str(), STUB_MODULE), kSent, 0);
}

TEST_F(TolvTest, ItemNumbersAreReadWhole) {
  const struct {
    std::string fields;
    const char *items;
  } ordered[] = {
      {"sub=" + std::string(300, '0') + "5", "\t(1) Meadow Sub\n"},
      {"sub=" + std::string(300, '+') + "3", "\t(1) Thistle Sub\n"},  // blanks, then 3
      {"sub=-2147483648", "\t(1) The Lantern Sub\n"},                 // the least int: bit 0
      {"sub=2147483647&pop=0", "\t(1) Fizzbolt\n"},                   // the greatest: bit 31
      {"sub=7%009", "\t(1) Bramble Club\n"},  // a NUL ends the digits like any non-digit
  };
  for (const auto &c : ordered) {
    SCOPED_TRACE(c.fields.substr(0, 40));
    expectPage(run((c.fields + kCustomer).c_str()), previewOf(c.items), 0);
  }
  // A number beyond int's range is no item number at all: the order is refused.
  const std::string outOfRange[] = {"sub=2147483648", "slj=-2147483649", "sub=1&pop=4294967297",
                                    "sde=" + std::string(5000, '9')};
  for (const std::string &fields : outOfRange) {
    SCOPED_TRACE(fields.substr(0, 40));
    expectPage(run((fields + kCustomer).c_str()), notSubmitted("an item number is out of range"),
               1);
  }
}

TEST_F(TolvTest, SentOrderGoesToTheMailCommandOnly) {
  std::string query = "pwd=GarnetFoXy&sub=2&slj=3&pop=0" + std::string(kCustomer);
  ChildResult r = run(query.c_str(), STUB_MODULE);
  expectPage(r, kSent, 0);
  EXPECT_EQ(mailed("args"), TOLV_GATEWAY "\n");
  EXPECT_EQ(
      mailed("letter"),
      letter("Ann Lee", "3 Oak Road",
             "\t(1) Driftwood Sub\n\t(1) Gobbler Slice Lean Wren\n\t(1) Fizzbolt\n", "555-0199"));
}

TEST_F(TolvTest, UnacceptedMailIsNotReportedAsSent) {
  std::string query = "pwd=GarnetFoXy&sub=0" + std::string(kCustomer);
  const std::string refused = kHeader + notSubmitted("the mail server did not accept the order");
  ChildResult failed = run(query.c_str(), STUB_MODULE, {{"MAILSTUB_STATUS", "3"}});
  EXPECT_EQ(failed.out, refused);
  EXPECT_TRUE(exitedWith(failed.status, 1));
  EXPECT_EQ(mailed("letter"), letter("Ann Lee", "3 Oak Road", "\t(1) The Lantern Sub\n",
                                     "555-0199"));  // it was offered
  // The shell reports these on standard error.
  ChildResult killed = run(query.c_str(), STUB_MODULE, {{"MAILSTUB_STATUS", "kill"}});
  EXPECT_EQ(killed.out, refused);
  EXPECT_TRUE(exitedWith(killed.status, 1));
  ChildResult missing = run(query.c_str(), NOMAIL_MODULE);
  EXPECT_EQ(missing.out, refused);
  EXPECT_TRUE(exitedWith(missing.status, 1));
}

TEST_F(TolvTest, NoPipeToMail) {
  // Only one descriptor left: enough for the temporary file, not for a pipe.
  auto starve = [] {
    int lowest = dup(0);
    close(lowest);
    rlimit limit = {static_cast<rlim_t>(lowest) + 1, static_cast<rlim_t>(lowest) + 1};
    setrlimit(RLIMIT_NOFILE, &limit);
  };
  std::string query = "pwd=GarnetFoXy&sub=0" + std::string(kCustomer);
  ChildResult r = run(query.c_str(), STUB_MODULE, {}, starve);
  // Standard error is not checked: a sanitizer runtime short of descriptors complains there.
  EXPECT_EQ(r.out, kHeader + notSubmitted("the server was unable to open a pipe to mail"));
  EXPECT_TRUE(exitedWith(r.status, 1));
  EXPECT_EQ(mailed("letter"), "<missing>");
}

TEST_F(TolvTest, TextsLongerThanTheirBuffersAreRefused) {
  const struct {
    const char *field;
    size_t room;  // the longest value that fits
    const char *reason;
  } fields[] = {
      {"name", 32, "your name is too long"},  // as many as the form's MAXLENGTH allows
      {"adr", 64, "your address is too long"},
      {"phone", 15, "your phone number is too long"},
  };
  for (const auto &f : fields) {
    SCOPED_TRACE(f.field);
    std::string base = "name=N&adr=A&phone=P&sub=0&" + std::string(f.field) + "=";
    std::string fits = base + std::string(f.room, 'x');
    ChildResult r = run(fits.c_str());
    EXPECT_TRUE(exitedWith(r.status, 0));
    EXPECT_NE(r.out.find(std::string(f.room, 'x')), std::string::npos);
    expectPage(run((fits + "x").c_str()), notSubmitted(f.reason), 1);
    // Escapes are counted once decoded: room escapes fit.
    std::string escaped = base;
    for (size_t i = 0; i < f.room; i++) escaped += "%41";
    EXPECT_TRUE(exitedWith(run(escaped.c_str()).status, 0));
    expectPage(run((base + std::string(100000, 'y')).c_str()), notSubmitted(f.reason), 1);
    // A later value that fits replaces the long one.
    std::string replaced = base + std::string(5000, 'y') + "&" + f.field + "=ok";
    EXPECT_TRUE(exitedWith(run(replaced.c_str()).status, 0));
  }
  // The name is checked before the address is found missing.
  expectPage(run(("adr=&phone=P&sub=0&name=" + std::string(33, 'n')).c_str()),
             notSubmitted("your name is too long"), 1);
}

TEST_F(TolvTest, HugeFieldNamesAndValuesAreHarmless) {
  std::string query = std::string(100000, 'k') + "=" + std::string(100000, 'v') + "&" +
                      std::string(300, '%') + "=1&pwd=" + std::string(70000, 'p') +
                      "&sub=" + std::string(5000, '0') + "4" + kCustomer;
  expectPage(run(query.c_str()), previewOf("\t(1) Cobalt Sub\n"), 0);
}

TEST_F(TolvTest, NoMemoryForTheWords) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer's allocator ends the process instead of failing";
#endif
  // Address space for what the process holds and 16 MiB more: not for a copy of the query.
  auto squeeze = [] {
    unsigned long pages = 0;
    FILE *statm = fopen("/proc/self/statm", "r");
    if (statm == nullptr || fscanf(statm, "%lu", &pages) != 1) _exit(96);
    fclose(statm);
    rlim_t bytes = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (rlim_t{16} << 20);
    rlimit limit = {bytes, bytes};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(95);
  };
  std::string query = std::string(kCustomer + 1) + "&sub=0&x=" + std::string(64 << 20, 'v');
  expectPage(run(query.c_str(), TOLV_MODULE, {}, squeeze),
             notSubmitted("the server ran out of memory"), 1);
}

TEST_F(TolvTest, ControlCharactersCannotForgeLetterLines) {
  std::string query =
      "pwd=GarnetFoXy&sub=0&name=Eve%0D%0A.%0D%0A~!cat+/etc/passwd"
      "&adr=1+Main%0A~v%0D&phone=555%09%7F%01%1F";
  const std::string mail =
      letter("Eve  .  ~!cat /etc/passwd", "1 Main ~v ", "\t(1) The Lantern Sub\n", "555    ");
  expectPage(run(query.c_str(), STUB_MODULE), kSent, 0);
  EXPECT_EQ(mailed("letter"), mail);
  // Without the password the same letter is previewed.
  expectPage(run(query.c_str() + strlen("pwd=GarnetFoXy&")), kPreview + mail, 0);
}

TEST_F(TolvTest, ServerErrorWithoutATemporaryFolder) {
  std::string file = dir_.path() + "/plain";
  fclose(fopen(file.c_str(), "w"));
  const std::string unusable[] = {dir_.path() + "/missing", file, std::string(5000, 'd')};
  for (const std::string &tmpdir : unusable) {
    SCOPED_TRACE(tmpdir.substr(0, 80));
    // The check comes before the fields are read.
    expectPage(run("a=b", TOLV_MODULE, {{"TMPDIR", tmpdir}}), kServerError, 1);
  }
}

TEST_F(TolvTest, WriteOnlyDescriptor) {
  ChildResult r = run(nullptr, TOLV_MODULE, {}, {}, Channel::WritePipe);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "fdopen: Invalid argument\n");
  EXPECT_TRUE(exitedWith(r.status, 1));
}

// A host of another make (foreign-host.c), whose utilities give no result and leave a large
// number in the result register, serves the same pages with the same statuses as this one.
TEST_F(TolvTest, ForeignHostServesTheSamePages) {
  auto foreign = [&](const char *module, const char *query) {
    std::vector<std::string> argv = {"/usr/bin/env", "TMPDIR=" + tmp_, "MAILSTUB_DIR=" + mail_,
                                     FOREIGN_HOST, module};
    if (query != nullptr) argv.push_back(query);
    return runProgram(argv);
  };
  const std::string name32(32, 'n'), address64(64, 'a');
  const std::string longName = "name=" + name32 + "&adr=" + address64 + "&phone=5&sub=2";
  const std::string longNumber = std::string("sub=") + std::string(300, '0') + "5" + kCustomer;
  const std::string nulPassword = std::string("pwd=GarnetFoXy%00x&sub=0") + kCustomer;
  const std::string sent = std::string("pwd=GarnetFoXy&sub=0") + kCustomer;
  const struct {
    const char *module;
    const char *query;
    std::string page;  // after the header
    int status;
  } cases[] = {
      {TOLV_MODULE, nullptr, kForm, 0},
      {TOLV_MODULE, "name=Customer+One&adr=12+Elm+Street&phone=555-0100&sub=0&pop=1",
       kPreview + letter("Customer One", "12 Elm Street",
                         "\t(1) The Lantern Sub\n\t(1) Ridge Rush\n", "555-0100"),
       0},
      {TOLV_MODULE, longName.c_str(),
       kPreview + letter(name32, address64, "\t(1) Driftwood Sub\n", "5"), 0},
      {TOLV_MODULE, nulPassword.c_str(), previewOf("\t(1) The Lantern Sub\n"), 0},
      {TOLV_MODULE, kCustomer + 1, notSubmitted("you didn't order anything"), 1},
      {TOLV_MODULE, longNumber.c_str(), previewOf("\t(1) Meadow Sub\n"), 0},
      {TOLV_MODULE, "na%6De=A&adr=B&phone=C&sub=99999999999",
       notSubmitted("an item number is out of range"), 1},
      {STUB_MODULE, sent.c_str(), kSent, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.query != nullptr ? std::string(c.query).substr(0, 80) : "(no query)");
    ChildResult theirs = foreign(c.module, c.query);
    EXPECT_EQ(theirs.err, "");
    EXPECT_TRUE(exitedWith(theirs.status, c.status)) << "wait status " << theirs.status;
    EXPECT_EQ(theirs.out, kHeader + c.page);
    if (std::string_view(c.module) == STUB_MODULE) {
      EXPECT_EQ(mailed("letter"), letter("Ann Lee", "3 Oak Road", "\t(1) The Lantern Sub\n",
                                         "555-0199"));
    }
    ChildResult ours = run(c.query, c.module);
    EXPECT_EQ(theirs.out, ours.out);
    EXPECT_EQ(theirs.status, ours.status);
  }

  // The heap explorer too: a script of calls, an example (heaprun's lines in the page), a script
  // with a NUL, which is refused.
  // (Its pages are compared with what they say, not with this host's: heaprun's heap differs
  // under a sanitizer's host.)
  const struct {
    const char *query, *says;
  } heapCases[] = {
      {"script=a+%3D+malloc+8%0Afree+a%0A", "\"names\":[\"a\"]}\n[[0,0,8],"},
      {"example=test1-4", "\"names\":[\"mem1\",\"mem2\",\"mem3\"]}\n[[0,0,8],"},
      {"script=a+%3D+malloc+8%00", "The script holds a NUL byte (%00): a script is text."},
  };
  for (const auto &c : heapCases) {
    SCOPED_TRACE(c.query);
    ChildResult theirs = foreign(HEAP_MODULE, c.query);
    EXPECT_TRUE(exitedWith(theirs.status, 0)) << "wait status " << theirs.status;
    EXPECT_EQ(theirs.err, "");
    EXPECT_NE(theirs.out.find(c.says), std::string::npos) << theirs.out.substr(0, 2000);
  }
}

}  // namespace
