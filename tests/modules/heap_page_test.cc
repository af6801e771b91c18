// The heap explorer's page served in-process from heaprun's real output, cut short at every
// byte (as a run stopped at its output limit is): every whole line of data goes into the page
// as it stands, nothing in it can end its element early, and heaprun's error line is shown as
// escaped text.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

#include "heap-examples.h"
#include "heap-page.h"

namespace {

std::string page(const std::string &output) {
  char *text = nullptr;
  size_t length = 0;
  FILE *out = open_memstream(&text, &length);
  heapview::PageInput in{"s", 1, nullptr, true, output.data(), output.size(), nullptr, false};
  heapview::writePage(out, in);
  fclose(out);
  std::string result(text, length);
  free(text);
  return result;
}

// heaprun's output for script (printf's escapes in it become bytes); fails the test if it does
// not run to its end.
std::string heaprunOutput(const std::string &script) {
  std::string steps;
  FILE *run = popen(("printf '%b' '" + script + "' | " HEAPRUN).c_str(), "r");
  EXPECT_NE(run, nullptr);
  if (run == nullptr) return steps;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, run)) > 0;) steps.append(buf, n);
  EXPECT_EQ(pclose(run), 0);
  return steps;
}

size_t count(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

// The data element of a page, or "" if it has none.
std::string dataOf(const std::string &whole) {
  size_t start = whole.find("<script type=\"text/plain\" id=\"heap-data\">\n");
  if (start == std::string::npos) return "";
  start = whole.find('\n', start) + 1;
  return whole.substr(start, whole.find("</script>", start) - start);
}

TEST(HeapPageTest, CarriesEveryWholeLineOfTheRunAsItStands) {
  const std::string script = std::string(heapview::kHeapExamples[0].script) + "x = malloc 0\n";
  std::string output = heaprunOutput(script);
  // A step with what the allocator wrote, markup in it; heaprun's error line after the steps.
  output += "[[0,-1,9],null,0,[],[],-1,0,[],\"<b>CANNOT</b>\"]\n";
  output += "heaprun: line 9: <script>&'\n";

  std::string whole = page(output);
  std::string lines = dataOf(whole);
  EXPECT_EQ(count(lines, "\n"), 7u);  // the header and six steps
  EXPECT_EQ(lines.find('<'), std::string::npos);
  EXPECT_EQ(count(lines, "\\u003cb>CANNOT\\u003c/b>"), 1u);
  EXPECT_EQ(count(whole, "heaprun: line 9: &lt;script&gt;&amp;&#39;</p>"), 1u);
  EXPECT_EQ(count(whole, "<script>&"), 0u);
  EXPECT_EQ(count(whole, "<div id=\"explorer\">"), 1u);
  EXPECT_EQ(count(whole, "<noscript>"), 1u);  // says it needs JavaScript

  for (size_t cut = 0; cut <= output.size(); cut++) {
    std::string part = output.substr(0, cut);
    size_t whole_lines = 0;  // lines of data with their line feed
    for (size_t start = 0, end; (end = part.find('\n', start)) != std::string::npos;
         start = end + 1)
      whole_lines += part[start] == '[' || part[start] == '{';
    std::string served = dataOf(page(part));
    ASSERT_EQ(count(served, "\n"), whole_lines) << "cut at " << cut;
    ASSERT_EQ(served, whole_lines == 0 ? "" : lines.substr(0, served.size())) << "cut at " << cut;
  }
}

TEST(HeapPageTest, ABadScriptGetsItsErrorAndNoExplorer) {
  std::string whole = page("heaprun: line 2: size 'x' is not a number\n");
  EXPECT_EQ(count(whole, "<p class=\"error\" role=\"alert\">heaprun: line 2: size &#39;x&#39; is not a number</p>"), 1u);
  EXPECT_EQ(dataOf(whole), "");
  EXPECT_EQ(count(whole, "id=\"explorer\""), 0u);
}

}  // namespace
