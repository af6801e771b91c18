// The heap explorer's page drawn in-process from heaprun's real output, cut short at every
// byte (as a run stopped at its output limit is), with the allocator's message between steps
// and an error line that must be escaped.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

#include "heap-examples.h"
#include "heap-page.h"
#include "heapsteps.h"

namespace {

std::string page(const std::string &output) {
  char *text = nullptr;
  size_t length = 0;
  FILE *out = open_memstream(&text, &length);
  heapview::PageInput in{"s", 1, nullptr, true, output.data(), output.size(), nullptr};
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

TEST(HeapPageTest, DrawsEveryCompleteStepOfOutputCutAnywhere) {
  const std::string script = std::string(heapview::kHeapExamples[0].script) + "x = malloc 0\n";
  std::string steps = heaprunOutput(script);
  size_t second = steps.find('\n') + 1;
  const std::string output = steps.substr(0, second) + "CANNOT SATISFY MEMORY REQUEST.\n" +
                             steps.substr(second) + "heaprun: line 9: <script>&'\n";

  std::string whole = page(output);
  EXPECT_EQ(count(whole, "<section class=\"step\""), 5u);
  EXPECT_EQ(count(whole, "The allocator wrote: <samp>CANNOT SATISFY MEMORY REQUEST.</samp>"), 1u);
  EXPECT_EQ(count(whole, "heaprun: line 9: &lt;script&gt;&amp;&#39;</p>"), 1u);
  EXPECT_EQ(count(whole, "<script>&"), 0u);
  // malloc 0: null, errno untouched, said in the list, and in the script's data as a template
  // whose numbers the step carries.
  EXPECT_EQ(count(whole, "a request of 0 bytes gets no block"), 1u);
  EXPECT_EQ(count(whole, "a request of \\u0001 bytes gets no block"), 1u);
  // The script's data: a step a line, every block of the first step, nothing that ends the
  // element early.
  size_t data = whole.find("<script type=\"application/json\" id=\"heap-data\">");
  ASSERT_NE(data, std::string::npos);
  std::string json = whole.substr(data, whole.find("</script>", data) - data);
  EXPECT_EQ(count(json, "\n[\""), 5u);
  EXPECT_EQ(count(json, "<"), 1u);  // the element's own opening tag
  // Every block of every step's heap, fenceposts included (in a sanitized build heaprun's heap
  // also holds what the sanitizer's runtime allocated, so the blocks are counted, not known).
  heapview::HeapRun read{};
  ASSERT_TRUE(heapview::readHeapRun(output.data(), output.size(), &read));
  heapview::HeapState state{};
  size_t blocks = 0;
  for (size_t i = 0; i < read.stepCount; i++) {
    ASSERT_TRUE(heapview::applyStep(&state, read, read.steps[i]));
    blocks += state.count;
  }
  heapview::freeHeapState(&state);
  heapview::freeHeapRun(&read);
  EXPECT_GE(blocks, 4u + 5 + 6 + 5 + 5);
  EXPECT_EQ(count(whole, "class=\"block "), blocks);

  for (size_t cut = 0; cut <= output.size(); cut++) {
    std::string part = output.substr(0, cut);
    size_t complete = 0;  // lines of steps with their line feed
    for (size_t start = 0, end; (end = part.find('\n', start)) != std::string::npos;
         start = end + 1)
      complete += part.compare(start, 8, "{\"step\":") == 0;
    ASSERT_EQ(count(page(part), "<section class=\"step\""), complete) << "cut at " << cut;
  }
}

TEST(HeapPageTest, ALongRunListsItsFirstStepsAndTheLastAndSharesItsSayings) {
  std::string script;
  for (int i = 0; i < 40; i++) script += "m" + std::to_string(i) + " = malloc " + std::to_string(8 * i + 1) + "\\n";
  std::string steps = heaprunOutput(script);
  std::string whole = page(steps);
  EXPECT_EQ(count(whole, "<section class=\"step\""), 11u);
  EXPECT_EQ(count(whole, "id=\"step-40\""), 1u);
  EXPECT_EQ(count(whole, "id=\"step-11\""), 0u);
  EXPECT_EQ(count(whole, "Steps 1 to 10 and the last are shown here"), 1u);
  // 39 calls split the same block: one template says them all.
  size_t sayings = whole.find("\"sayings\":[");
  ASSERT_NE(sayings, std::string::npos);
  EXPECT_EQ(count(whole.substr(sayings), "First fit took free block #"), 1u);
}

}  // namespace
