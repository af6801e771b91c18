// The order form's request handling compiled into the test, as a fuzzer drives it:
// handleRequest returns its status instead of ending the process, so the sanitizers of this
// build watch every buffer of the module's code.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <random>
#include <string>

#include "pages.h"
#include "testdir.h"
#include "tolv-mod.h"

namespace {

struct Outcome {
  int status;
  std::string out;
};

class TolvInProcess : public testing::Test {
 protected:
  void SetUp() override {
    setenv("TMPDIR", tmp_.c_str(), 1);
    setenv("MAILSTUB_DIR", mail_.c_str(), 1);
  }
  void TearDown() override {
    EXPECT_TRUE(filesIn(tmp_).empty());
    unsetenv("TMPDIR");
  }

  // Handles query (null: no query) on a memory stream.
  static Outcome handle(const char *query) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *client = open_memstream(&buf, &len);
    std::string text = query != nullptr ? query : "";
    int status = handleRequest(client, query != nullptr ? text.data() : nullptr);
    fclose(client);
    Outcome o{status, std::string(buf, len)};
    free(buf);
    return o;
  }

  TestDir dir_;
  std::string tmp_ = dir_.subdir("tmp");
  std::string mail_ = dir_.subdir("mail");
};

TEST_F(TolvInProcess, ReturnsWhereHttprunEnds) {
  Outcome form = handle(nullptr);
  EXPECT_EQ(form.status, 0);
  EXPECT_EQ(form.out, kHeader + kForm);
  Outcome refused = handle("name=N");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, kHeader + notSubmitted("you didn't give your address"));
  Outcome sent = handle("pwd=GarnetFoXy&name=N&adr=A&phone=P&pop=3");
  EXPECT_EQ(sent.status, 0);
  EXPECT_EQ(sent.out, kHeader + kSent);
  EXPECT_EQ(readFile(mail_ + "/letter"), letter("N", "A", "\t(1) Cold Leaf Tea\n", "P"));
}

// A field name or value is read whole, however long.
TEST_F(TolvInProcess, WordsAreReadWhole) {
  const std::string customer = "&name=N&adr=A&phone=P";
  for (size_t zeros : {254, 255, 4096}) {
    const std::string fields = "sub=" + std::string(zeros, '0') + "7";
    EXPECT_EQ(handle((fields + customer).c_str()).out,
              kHeader + kPreview + letter("N", "A", "\t(1) Bramble Club\n", "P"))
        << zeros;
  }
  // A 255-byte field name is not one of the eight, and the field after it is read.
  const std::string longName = std::string(252, 'x') + "sub=3&sub=5";
  EXPECT_EQ(handle((longName + customer).c_str()).out,
            kHeader + kPreview + letter("N", "A", "\t(1) Meadow Sub\n", "P"));
  // Values of every length around the buffer's size, plain and escaped.
  for (size_t n = 250; n < 262; n++) {
    for (const std::string &unit : {std::string("a"), std::string("%41")}) {
      std::string value;
      while (value.size() < n) value += unit;
      for (const char *field : {"name", "pwd", "zz", "sub"}) {
        std::string query = customer.substr(1) + "&sub=1&" + field + "=" + value;
        Outcome o = handle(query.c_str());
        EXPECT_EQ(o.status, std::string(field) == "name" ? 1 : 0) << field << " " << n;
      }
    }
  }
}

// Random queries over the characters that matter: whatever the query, a page and a status,
// no letter line that a mailer would take for a command, and no sanitizer report.
TEST_F(TolvInProcess, RandomQueries) {
  const std::string pieces[] = {"name", "adr",  "phone", "sub", "slj", "sde", "pop", "pwd",
                                "=",    "&",    "+",     "%",   "%0A", "%0D", "%2E", "%7E",
                                "%00",  "%zz",  "7",     "-1",  "33",  ".",   "~",   "\n",
                                "\r",   "\x7f", "\xff",  "x",   "%4",  "%%",  "==",  "&&"};
  std::mt19937 random(20261208);
  std::uniform_int_distribution<size_t> piece(0, std::size(pieces) - 1);
  std::uniform_int_distribution<int> length(0, 400);
  for (int round = 0; round < 3000; round++) {
    std::string query;
    for (int i = length(random); i > 0; i--) query += pieces[piece(random)];
    if (round % 100 == 0) query += "&name=" + std::string(1000 + round, 'n');
    Outcome o = handle(query.c_str());
    ASSERT_TRUE(o.status == 0 || o.status == 1) << query;
    ASSERT_EQ(o.out.rfind(kHeader, 0), 0u) << query;
    size_t letterStart = o.out.find("<PLAINTEXT>\n");
    if (letterStart == std::string::npos) continue;
    std::string letterText = o.out.substr(letterStart + 12);
    ASSERT_EQ(letterText.rfind("My name is ", 0), 0u) << query;
    size_t dot = letterText.find("\n.\n");
    EXPECT_EQ(dot, letterText.size() - 3) << query;
    EXPECT_EQ(letterText.find("\n~"), std::string::npos) << query;
  }
}

// The pages' routines keep their own contract: write the page, then end the process.
TEST(TolvPages, RoutinesEndTheProcess) {
  TestDir dir;
  const std::string page = dir.path() + "/page";
  FILE *out = fopen(page.c_str(), "w");
  ASSERT_NE(out, nullptr);
  EXPECT_EXIT(dump_form(out), testing::ExitedWithCode(0), "");
  EXPECT_EQ(readFile(page), kForm);
  EXPECT_EXIT(print_error(out, "the reason"), testing::ExitedWithCode(1), "");
  EXPECT_EQ(readFile(page), kForm + notSubmitted("the reason"));
  fclose(out);
}

}  // namespace
