// The heap explorer's page: the script form, the examples menu, and heaprun's output as it
// stands, which the page's script draws (modules/heap-page.js). Nothing here reads the steps:
// their lines are copied into the page, the error line heaprun ends with is shown as text.
#include "heap-page.h"

#include <string.h>

#include "MyMallocLayout.h"
#include "MyMallocTrace.h"
#include "heap-examples.h"
#include "heap-page-files.h"
#include "heapscript.h"
#include "httprequest.h"

namespace heapview {
namespace {

void put(FILE *out, const char *s) { fputs(s, out); }

// Writes s HTML-escaped; control characters other than tab and line feed become '?', and
// carriage returns go (the form sends CR LF; the text area shows LF alone the same).
void putEscaped(FILE *out, const char *s, size_t n) {
  for (size_t i = 0; i < n; i++) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    const char *entity = c == '&'    ? "&amp;"
                         : c == '<'  ? "&lt;"
                         : c == '>'  ? "&gt;"
                         : c == '"'  ? "&quot;"
                         : c == '\'' ? "&#39;"
                         : c == '\r' ? ""
                                     : nullptr;
    if (entity != nullptr)
      put(out, entity);
    else
      fputc(c < 0x20 && c != '\t' && c != '\n' ? '?' : c, out);
  }
}

// heaprun's whole lines, each where it belongs: the data lines (JSON, which starts with '[' or
// '{') into the element the script reads, with every '<' written as JSON's \u003c so that
// nothing closes the element early; heaprun's error line as text. An unfinished last line (a
// run cut short) is left out. Returns whether there was any data.
bool writeOutput(FILE *out, const char *output, size_t length) {
  bool data = false;
  for (size_t start = 0, end; start < length; start = end + 1) {
    const char *nl = static_cast<const char *>(memchr(output + start, '\n', length - start));
    if (nl == nullptr) break;
    end = static_cast<size_t>(nl - output);
    const char *line = output + start;
    if (line[0] == '[' || line[0] == '{') {
      if (!data) put(out, "<script type=\"text/plain\" id=\"heap-data\">\n");
      data = true;
      for (size_t i = start; i <= end; i++)
        if (output[i] == '<')
          put(out, "\\u003c");
        else
          fputc(output[i], out);
    }
  }
  if (data) put(out, "</script>\n");
  for (size_t start = 0, end; start < length; start = end + 1) {
    const char *nl = static_cast<const char *>(memchr(output + start, '\n', length - start));
    if (nl == nullptr) break;
    end = static_cast<size_t>(nl - output);
    if (end - start > 9 && memcmp(output + start, "heaprun: ", 9) == 0) {
      put(out, "<p class=\"error\" role=\"alert\">");
      putEscaped(out, output + start, end - start);
      put(out, "</p>\n");
    }
  }
  return data;
}

// The recording's rules as the page's scripts read them (var TRACE), from the headers that the
// recorder and heaptrace are built from, so that the browser's reader checks what heaptrace does.
void writeTraceRules(FILE *out) {
  namespace trace = mymalloc::trace;
  fprintf(out, "var TRACE = {magic: '%.*s', version: %u, record: %zu, pathMax: %zu, kinds: [",
          static_cast<int>(sizeof trace::kMagic), trace::kMagic, trace::kVersion,
          sizeof(trace::Record), trace::kPathMax);
  for (const char *name : trace::kKindNames) fprintf(out, "'%s', ", name);
  fprintf(out,
          "],\n  malloc: %d, free: %d, realloc: %d, calloc: %d, lastCall: %d, module: %d, exec: %d, "
          "thread: %d, extra: %d, forked: %u,\n  seqLimit: %llu, addressLimit: %llu, "
          "blockLimit: %llu, raceWindow: %zu,\n  largestRequest: %zu, replayMax: %d, "
          "replayLong: %d};\n",
          trace::kMalloc, trace::kFree, trace::kRealloc, trace::kCalloc, trace::kLastCall,
          trace::kModule, trace::kExec, trace::kThread, trace::kExtra, trace::kForked,
          static_cast<unsigned long long>(trace::kSeqLimit),
          static_cast<unsigned long long>(trace::kAddressLimit),
          static_cast<unsigned long long>(trace::kBlockLimit), trace::kRaceWindow,
          mymalloc::kLargestRequest, kMaxCalls, kLongCalls);
}

void writeForm(FILE *out, const PageInput &in) {
  put(out,
      "<form action=\"heap\" method=\"get\" class=\"examples\"><label>Examples, the exercise "
      "programs' calls and three faults: <select name=\"example\" id=\"example\"><option value=\"\">Choose one\u2026"
      "</option>");
  for (const HeapExample &e : kHeapExamples) {
    fprintf(out, "<option value=\"%s\"%s>", e.name,
            in.example != nullptr && strcmp(in.example, e.name) == 0 ? " selected" : "");
    putEscaped(out, e.title, strlen(e.title));
    put(out, "</option>");
  }
  put(out,
      "</select></label> <button type=\"submit\">Show</button></form>\n"
      "<form action=\"heap\" method=\"post\" id=\"run\" data-body-max=\"");
  fprintf(out, "%zu", kBodyMax);
  put(out, "\"><label for=\"script\">Script, one call a "
      "line:</label>\n<textarea name=\"script\" id=\"script\" rows=\"10\" spellcheck=\"false\">\n");
  // A browser drops the line feed right after <textarea>, so the script's own first one stays.
  putEscaped(out, in.script, in.scriptLength);
  put(out,
      "</textarea>\n<p><button type=\"submit\">Run</button> <label><input type=\"checkbox\" "
      "name=\"check\" value=\"1\" id=\"check\"");
  if (in.check) put(out, " checked");
  put(out,
      "> under the heap check (<code>MYMALLOC_CHECK=1</code>)</label> <label>or read a script, an "
      "allocation trace or a program's recording (MYMALLOC_TRACE) from a file: <input "
      "type=\"file\" id=\"file\"></label></p>\n"
      "<p id=\"toolong\" class=\"problem\" hidden></p></form>\n");
}

}  // namespace

void writePage(FILE *out, const PageInput &in) {
  // The style goes into the head, where the page's HTML closes it.
  const char *headEnd = strstr(kHeapPageHtml, "</head>");
  fwrite(kHeapPageHtml, 1, static_cast<size_t>(headEnd - kHeapPageHtml), out);
  put(out, "<style>\n");
  put(out, kHeapPageCss);
  put(out, kHeapTimelineCss);
  put(out, "</style>\n");
  put(out, headEnd);
  writeForm(out, in);
  if (in.problem != nullptr) {
    put(out, "<p class=\"problem\" role=\"alert\">");
    putEscaped(out, in.problem, strlen(in.problem));
    put(out, "</p>\n");
  }
  if (in.ran && writeOutput(out, in.output, in.outputLength))
    put(out,
        "<div id=\"explorer\"></div>\n<noscript><p class=\"problem\">The heap explorer draws "
        "the steps with JavaScript: turn it on to see them.</p></noscript>\n");
  put(out, "<script>\n");
  writeTraceRules(out);
  put(out, kHeapTimelineJs);
  put(out, kHeapPageJs);
  put(out, "</script>\n");
  put(out, "</body>\n</html>\n");
}

void writeRecordingReader(FILE *out) {
  writeTraceRules(out);
  put(out, kHeapRecordingJs);
}

}  // namespace heapview
