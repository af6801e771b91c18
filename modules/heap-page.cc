// The heap explorer's page. The script draws one step at a time from the run's steps, written
// into the page as compact data (each step's changed blocks only); without JavaScript a list of
// steps drawn here stands in (the first ones and the last). Both draw a chunk as a row of
// blocks that wraps to the page's width, each block as wide as its size's logarithm allows.
#include "heap-page.h"

#include <stdlib.h>
#include <string.h>

#include "MyMallocLayout.h"
#include "heap-examples.h"
#include "heap-page-files.h"
#include "heapsteps.h"
#include "httprequest.h"

namespace heapview {
namespace {

constexpr size_t kStaticFirst = 10;  // steps drawn for readers without JavaScript, and the last

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
void putEscaped(FILE *out, const Text &t) { putEscaped(out, t.start, t.length); }


// Writes s as the inside of a JSON string that may stand in a <script> element: quotes,
// backslashes, controls and the characters of HTML markup escaped.
void putJson(FILE *out, const char *s, size_t n) {
  for (size_t i = 0; i < n; i++) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '"' || c == '\\' || c == '<' || c == '>' || c == '&' || c < 0x20)
      fprintf(out, "\\u%04x", c);
    else
      fputc(c, out);
  }
}
void putJsonText(FILE *out, const Text &t) {
  if (t.start == nullptr) {
    put(out, "null");
    return;
  }
  put(out, "\"");
  putJson(out, t.start, t.length);
  put(out, "\"");
}

// The binary logarithm of a block's size over the smallest block's, which the style turns into
// a width. Worked out here to within 0.01 (the whole part from the highest bit, the rest by a
// quadratic), because a module takes no maths library.
double logWidth(size_t size) {
  if (size <= mymalloc::kMinBlockSize) return 0;
  int whole = 63 - __builtin_clzll(size);
  double f = static_cast<double>(size) / static_cast<double>(1ull << whole) - 1;
  static_assert(mymalloc::kMinBlockSize == 32);
  return whole + f * (1.3465 - 0.3465 * f) - 5;  // 5: log2 of 32
}

// Free-list places (1 for the head) of state's blocks, following _nextFree from the head.
void listPlaces(const HeapState &state, size_t *places) {
  for (size_t i = 0; i < state.count; i++) places[i] = 0;
  size_t place = 1;
  for (long at = state.head; at != kNoLink && place <= state.count; place++) {
    const StepBlock *b = blockAt(state, at);
    if (b == nullptr || b->state != BlockState::Free) break;
    places[b - state.blocks] = place;
    at = b->next;
  }
}

// A step's picture without the script: each chunk a row of blocks, free blocks numbered.
void writePicture(FILE *out, const HeapState &state, const Step &step, const HeapRun &run,
                  size_t *places) {
  listPlaces(state, places);
  put(out, "<div class=\"picture\">");
  if (state.count == 0) put(out, "<p>No chunk yet: the heap is not set up.</p>");
  int chunk = 0;
  bool inChunk = false;
  for (size_t i = 0; i < state.count; i++) {
    const StepBlock &b = state.blocks[i];
    if (b.state == BlockState::Fence && !inChunk)
      fprintf(out, "<div class=\"chunk\"><div class=\"chunk-name\">chunk %d at offset %ld</div>"
                   "<div class=\"bar\">", chunk++, b.offset);
    bool changed = false;
    for (size_t k = 0; k < step.changedCount && !changed; k++)
      changed = run.changed[step.firstChanged + k].offset == b.offset;
    static const char *const kClasses[] = {"used", "free", "fence"};
    fprintf(out, "<div class=\"block %s%s\" data-offset=\"%ld\" data-size=\"%zu\"",
            kClasses[static_cast<int>(b.state)], changed ? " changed" : "", b.offset, b.size);
    if (b.state != BlockState::Fence) fprintf(out, " style=\"--lg:%.2f\"", logWidth(b.size));
    put(out, ">");
    if (b.state == BlockState::Free) {
      fprintf(out, "<span class=\"name\">#%zu</span><span class=\"size\">%zu</span>", places[i],
              b.size);
    } else if (b.state == BlockState::Used) {
      put(out, "<span class=\"name\">");
      if (b.name.start != nullptr) putEscaped(out, b.name);
      fprintf(out, "</span><span class=\"size\">%zu</span>", b.size);
    }
    put(out, "</div>");
    if (b.state == BlockState::Fence) {
      if (inChunk) put(out, "</div></div>\n");
      inChunk = !inChunk;
    }
  }
  if (inChunk) put(out, "</div></div>\n");
  put(out, "</div>\n");
}

void writeFigures(FILE *out, const Step &step) {
  const Figures &f = step.figures;
  size_t chunks = step.heap / mymalloc::kChunkSize;
  size_t outside = f.freeBytes - f.largestFree;
  fprintf(out,
          "<p class=\"figures\">Heap %zu bytes (%zu chunk%s) \u00b7 in use: %zu block%s, %zu "
          "bytes (%zu of payload) \u00b7 free: %zu bytes in %zu block%s, the largest %zu "
          "\u00b7 outside the largest: %zu bytes (%.1f%% of free memory)</p>\n",
          step.heap, chunks, chunks == 1 ? "" : "s", f.usedBlocks, f.usedBlocks == 1 ? "" : "s",
          f.usedBytes, f.payload, f.freeBytes, f.freeBlocks, f.freeBlocks == 1 ? "" : "s",
          f.largestFree, outside,
          f.freeBytes == 0 ? 0.0 : 100.0 * static_cast<double>(outside) / f.freeBytes);
}

void writeFreeList(FILE *out, const HeapState &state) {
  put(out, "<p class=\"freelist\"><code>FreeList: ");
  size_t n = 0;
  for (long at = state.head; at != kNoLink && n < state.count; n++) {
    const StepBlock *b = blockAt(state, at);
    if (b == nullptr) break;
    fprintf(out, "%s[offset:%ld,size:%zu]", n > 0 ? "-&gt;" : "", b->offset, b->size);
    at = b->next;
  }
  put(out, "</code></p>\n");
}

void writeStaticStep(FILE *out, const HeapRun &run, const Step &step, const HeapState &state,
                     size_t *places) {
  fprintf(out, "<section class=\"step\" id=\"step-%ld\">\n<h3>Step %ld: <code>", step.number,
          step.number);
  putEscaped(out, step.call);
  put(out, "</code></h3>\n<p class=\"say\">");
  putEscaped(out, step.say);
  put(out, "</p>\n");
  if (step.message.start != nullptr) {
    put(out, "<p class=\"message\">The allocator wrote: <samp>");
    putEscaped(out, step.message);
    put(out, "</samp></p>\n");
  }
  writeFigures(out, step);
  writePicture(out, state, step, run, places);
  writeFreeList(out, state);
  put(out, "</section>\n");
}

// The steps for readers without JavaScript: the first kStaticFirst and the last.
bool writeStaticSteps(FILE *out, const HeapRun &run) {
  HeapState state{};
  size_t *places = nullptr;
  size_t room = 0;
  bool ok = true;
  put(out, "<div id=\"static-steps\">\n");
  if (run.stepCount > kStaticFirst + 1)
    fprintf(out,
            "<p class=\"note\">Steps 1 to %zu and the last are shown here; the page's script "
            "shows every step.</p>\n",
            kStaticFirst);
  for (size_t s = 0; s < run.stepCount && ok; s++) {
    ok = applyStep(&state, run, run.steps[s]);
    if (!ok || (s >= kStaticFirst && s + 1 != run.stepCount)) continue;
    if (state.count > room) {
      free(places);
      room = state.count * 2;
      places = static_cast<size_t *>(malloc(room * sizeof(size_t)));
      if (places == nullptr) {
        ok = false;
        room = 0;
      }
    }
    if (ok) writeStaticStep(out, run, run.steps[s], state, places);
  }
  put(out, "</div>\n");
  free(places);
  freeHeapState(&state);
  return ok;
}

// Texts that repeat with other numbers in them (the sayings): each kept once as a template with
// a mark for each number, so that a step carries only its numbers.
constexpr char kNumberMark = '\x01';
constexpr size_t kTemplatesMax = 4096;
struct Templates {
  char *texts[kTemplatesMax];
  size_t lengths[kTemplatesMax];
  size_t count;
};

// The template of t (numbers replaced by marks) in table, added if new; -1 if the table is
// full or memory ran out.
long templateOf(Templates *table, const Text &t, char *scratch) {
  size_t n = 0;
  for (size_t i = 0; i < t.length; i++) {
    bool digit = t.start[i] >= '0' && t.start[i] <= '9';
    if (!digit)
      scratch[n++] = t.start[i];
    else if (i == 0 || t.start[i - 1] < '0' || t.start[i - 1] > '9')
      scratch[n++] = kNumberMark;
  }
  for (size_t k = 0; k < table->count; k++)
    if (table->lengths[k] == n && memcmp(table->texts[k], scratch, n) == 0)
      return static_cast<long>(k);
  if (table->count == kTemplatesMax) return -1;
  char *copy = static_cast<char *>(malloc(n + 1));
  if (copy == nullptr) return -1;
  memcpy(copy, scratch, n);
  table->texts[table->count] = copy;
  table->lengths[table->count] = n;
  return static_cast<long>(table->count++);
}

// A name's index in names, added if new; -1 if memory ran out.
long nameIndex(Text **names, size_t *count, size_t *room, const Text &name) {
  for (size_t n = *count; n-- > 0;)
    if ((*names)[n].length == name.length && memcmp((*names)[n].start, name.start, name.length) == 0)
      return static_cast<long>(n);
  if (*count == *room) {
    size_t more = *room == 0 ? 64 : 2 * *room;
    Text *grown = static_cast<Text *>(realloc(*names, more * sizeof(Text)));
    if (grown == nullptr) return -1;
    *names = grown;
    *room = more;
  }
  (*names)[*count] = name;
  return static_cast<long>((*count)++);
}

// Every step as compact data for the script: [call, saying's template, its numbers, changed,
// gone, head, heap, message], changed being seven numbers a block (offset, size, state,
// _leftSize, _nextFree, _prevFree, the name's index or -1); the names and the templates follow
// in tables of their own. A saying with no template is written whole in the template's place.
void writeData(FILE *out, const HeapRun &run) {
  put(out, "<script type=\"application/json\" id=\"heap-data\">{\"steps\":[");
  Text *names = nullptr;
  size_t nameCount = 0, nameRoom = 0;
  Templates *templates = static_cast<Templates *>(calloc(1, sizeof(Templates)));
  size_t longest = 0;
  for (size_t s = 0; s < run.stepCount; s++)
    if (run.steps[s].say.length > longest) longest = run.steps[s].say.length;
  char *scratch = static_cast<char *>(malloc(longest + 1));
  for (size_t s = 0; s < run.stepCount; s++) {
    const Step &step = run.steps[s];
    put(out, s > 0 ? ",\n[" : "\n[");
    putJsonText(out, step.call);
    long t = templates != nullptr && scratch != nullptr ? templateOf(templates, step.say, scratch)
                                                        : -1;
    if (t < 0) {
      put(out, ",");
      putJsonText(out, step.say);
      put(out, ",[");
    } else {
      fprintf(out, ",%ld,[", t);
      bool first = true;
      for (size_t i = 0; i < step.say.length; i++) {
        bool digit = step.say.start[i] >= '0' && step.say.start[i] <= '9';
        bool starts = digit && (i == 0 || step.say.start[i - 1] < '0' || step.say.start[i - 1] > '9');
        if (starts && !first) put(out, ",");
        if (starts) first = false;
        if (digit) fputc(step.say.start[i], out);
      }
    }
    put(out, "],[");
    for (size_t k = 0; k < step.changedCount; k++) {
      const StepBlock &b = run.changed[step.firstChanged + k];
      long name = b.name.start == nullptr ? -1 : nameIndex(&names, &nameCount, &nameRoom, b.name);
      fprintf(out, "%s%ld,%zu,%d,%zu,%ld,%ld,%ld", k > 0 ? "," : "", b.offset, b.size,
              static_cast<int>(b.state), b.left, b.next, b.prev, name);
    }
    put(out, "],[");
    for (size_t g = 0; g < step.goneCount; g++)
      fprintf(out, "%s%ld", g > 0 ? "," : "", run.gone[step.firstGone + g]);
    fprintf(out, "],%ld,%zu,", step.head, step.heap);
    putJsonText(out, step.message);
    put(out, "]");
  }
  put(out, "],\n\"names\":[");
  for (size_t n = 0; n < nameCount; n++) {
    put(out, n > 0 ? "," : "");
    putJsonText(out, names[n]);
  }
  put(out, "],\n\"sayings\":[");
  for (size_t k = 0; templates != nullptr && k < templates->count; k++) {
    put(out, k > 0 ? ",\"" : "\"");
    putJson(out, templates->texts[k], templates->lengths[k]);
    put(out, "\"");
    free(templates->texts[k]);
  }
  put(out, "]}</script>\n");
  free(scratch);
  free(templates);
  free(names);
}

// Where the script draws: the controls, the picture, what the call did, a block's header.
void writeExplorer(FILE *out, size_t steps) {
  fprintf(out,
          "<section id=\"explorer\" hidden data-steps=\"%zu\">\n"
          "<nav id=\"stepper\"><button type=\"button\" id=\"prev\">\u25c0 Previous</button>"
          "<button type=\"button\" id=\"play\">\u25b6 Play</button>"
          "<button type=\"button\" id=\"next\">Next \u25b6</button>"
          "<input type=\"range\" id=\"seek\" min=\"0\" max=\"%zu\" value=\"0\" "
          "aria-label=\"Step\">"
          "<span id=\"position\" aria-live=\"polite\"></span></nav>\n"
          "<h3 id=\"call\"></h3>\n<p id=\"say\" class=\"say\"></p>\n"
          "<p id=\"message\" class=\"message\" hidden></p>\n"
          "<div id=\"picture\" class=\"picture\"></div>\n"
          "<div id=\"header\" class=\"header-words\" hidden></div>\n"
          "<p class=\"legend\"><span class=\"used\"></span>in use: name and size"
          "<span class=\"free\"></span>free: #place in the free list, size"
          "<span class=\"fence\"></span>fencepost<span class=\"changed\"></span>header words "
          "changed by this call. Tap a block for its header.</p>\n"
          "<p class=\"options\"><label>Widths: <select id=\"widths\"><option value=\"log\">"
          "grow with the size's logarithm</option><option value=\"linear\">to scale (a chunk "
          "is the page's width)</option></select></label> <label><input type=\"checkbox\" "
          "id=\"arrows\" checked> arrows along <code>_nextFree</code></label></p>\n"
          "<dl id=\"figures\" class=\"figures\"></dl>\n"
          "<p class=\"freelist\"><code id=\"freelist\"></code></p>\n"
          "</section>\n",
          steps, steps);
}

void writeForm(FILE *out, const PageInput &in) {
  put(out,
      "<form action=\"heap\" method=\"get\" class=\"examples\"><label>Examples from the exercise "
      "programs: <select name=\"example\" id=\"example\"><option value=\"\">Choose one\u2026"
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
      "</textarea>\n<p><button type=\"submit\">Run</button> <label>or read a script, an "
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
  HeapRun run{};
  bool read = in.ran && readHeapRun(in.output, in.outputLength, &run);
  if (in.ran && !read) put(out, "<p class=\"problem\">The run is too large to draw.</p>\n");
  if (run.error.start != nullptr) {
    put(out, "<p class=\"error\" role=\"alert\">");
    putEscaped(out, run.error);
    put(out, "</p>\n");
  }
  if (in.problem != nullptr) {
    put(out, "<p class=\"problem\" role=\"alert\">");
    putEscaped(out, in.problem, strlen(in.problem));
    put(out, "</p>\n");
  }
  if (run.unreadable)
    put(out,
        "<p class=\"problem\">Part of heaprun's output could not be read; the steps before "
        "it are shown.</p>\n");
  if (read && run.stepCount == 0 && run.error.start == nullptr && in.problem == nullptr)
    put(out, "<p class=\"problem\">The script makes no calls: there is nothing to draw.</p>\n");
  if (run.stepCount > 0) {
    put(out, "<h2>The heap after each call</h2>\n");
    writeExplorer(out, run.stepCount);
    if (!writeStaticSteps(out, run))
      put(out, "<p class=\"problem\">The steps do not follow from each other, or need more "
               "memory than the server has: the rest is not drawn.</p>\n");
    writeData(out, run);
  }
  freeHeapRun(&run);
  put(out, "<script>\n");
  put(out, kHeapTimelineJs);
  put(out, kHeapPageJs);
  put(out, "</script>\n");
  put(out, "</body>\n</html>\n");
}

}  // namespace heapview
