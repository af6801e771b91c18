// The heap explorer's page. Each step is drawn as one SVG picture: a bar per chunk, its blocks
// side by side to one scale for the whole run (small blocks get a minimum width), free blocks
// numbered by their place in the free list and linked by arrows along _nextFree. Without
// JavaScript the steps form one list; with it, buttons and the arrow keys show one at a time.
#include "heap-page.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "MyMallocLayout.h"
#include "heap-examples.h"
#include "heap-page-files.h"
#include "heapsteps.h"
#include "httprequest.h"

namespace heapview {
namespace {

// The picture's geometry, in pixels.
constexpr double kBarWidth = 900;    // the widest chunk's bar, unless its small blocks need more
constexpr double kMinBlockPx = 44;   // the width of a block too small to draw to scale
constexpr double kFencePx = 5;       // a fencepost's width
constexpr double kMargin = 8;        // around the bars
constexpr double kScaleHeight = 30;  // the scale line above the first bar
constexpr double kArrowSpace = 40;   // above each bar, for the chunk's name and the arrows
constexpr double kBarHeight = 36;
constexpr double kRowGap = 14;  // below each bar
constexpr double kRowHeight = kArrowSpace + kBarHeight + kRowGap;
constexpr double kNameCharPx = 6.7;  // 11 px monospace
constexpr double kSizeCharPx = 6.1;  // 10 px monospace
constexpr int kSearchRounds = 50;    // halvings in the search for the scale

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

bool startsWith(const Text &t, const char *prefix) {
  size_t n = strlen(prefix);
  return t.length >= n && memcmp(t.start, prefix, n) == 0;
}

// A byte count the way the scale shows it: bytes, KiB or MiB, rounded.
void putBytes(FILE *out, double bytes) {
  if (bytes >= 1048576)
    fprintf(out, "%.0f MiB", bytes / 1048576);
  else if (bytes >= 1024)
    fprintf(out, "%.0f KiB", bytes / 1024);
  else
    fprintf(out, "%.0f bytes", bytes);
}

double widthOf(const StepBlock &b, double scale) {
  if (b.state == BlockState::Fence) return kFencePx;
  double w = static_cast<double>(b.size) * scale;
  return w < kMinBlockPx ? kMinBlockPx : w;
}

// The widest chunk of the run at a scale (pixels per byte). A chunk's blocks lie between its
// two fenceposts, so fenceposts open and close the rows in turn.
double widestRow(const HeapRun &run, double scale) {
  double widest = 0, row = 0;
  bool inRow = false;
  for (size_t i = 0; i < run.blockCount; i++) {
    const StepBlock &b = run.blocks[i];
    row += widthOf(b, scale);
    if (b.state == BlockState::Fence) {
      if (inRow && row > widest) widest = row;
      if (inRow) row = 0;
      inRow = !inRow;
    }
  }
  return widest;
}

struct Scale {
  double perByte;  // pixels
  double width;    // of the bars' area
};

// One scale for every step, so that a block keeps its place and width from step to step: the
// largest at which the widest chunk fits the bar.
Scale scaleFor(const HeapRun &run) {
  Scale s{0, kBarWidth};
  double smallest = widestRow(run, 0);  // every block at its minimum width
  if (smallest + kBarWidth / 3 > s.width) s.width = smallest + kBarWidth / 3;
  double low = 0, high = s.width / static_cast<double>(mymalloc::kFreshBlockSize);
  for (int i = 0; i < kSearchRounds; i++) {
    double mid = (low + high) / 2;
    if (widestRow(run, mid) <= s.width)
      low = mid;
    else
      high = mid;
  }
  s.perByte = low;
  return s;
}

void writeScale(FILE *out, const Scale &s) {
  double bytes = 16;  // the largest power of two that draws within 160 px
  while (bytes * 2 * s.perByte <= 160 && bytes < mymalloc::kChunkSize) bytes *= 2;
  double length = bytes * s.perByte;
  double y = kScaleHeight / 2;
  fprintf(out,
          "<g class=\"scale\"><line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>"
          "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>"
          "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/><text x=\"%.1f\" y=\"%.1f\">",
          kMargin, y, kMargin + length, y, kMargin, y - 4, kMargin, y + 4, kMargin + length, y - 4,
          kMargin + length, y + 4, kMargin + length + 6, y + 4);
  putBytes(out, bytes);
  put(out, "; blocks under ");
  putBytes(out, kMinBlockPx / s.perByte);
  fprintf(out, " drawn %.0f px wide, fenceposts %.0f px</text></g>\n", kMinBlockPx, kFencePx);
}

// Where each block of a step is drawn.
struct Placed {
  double x, width;
  int row;
  size_t listPosition;  // 1 for the head of the free list; 0 for a block not on it
};

double barTop(int row) { return kScaleHeight + row * kRowHeight + kArrowSpace; }

// The block of a step at offset, found among its blocks (in address order), or -1.
long blockAt(const HeapRun &run, const Step &step, long offset) {
  size_t low = 0, high = step.blockCount;
  while (low < high) {
    size_t mid = (low + high) / 2;
    long o = run.blocks[step.firstBlock + mid].offset;
    if (o == offset && run.blocks[step.firstBlock + mid].state != BlockState::Fence)
      return static_cast<long>(mid);
    if (o < offset)
      low = mid + 1;
    else
      high = mid;
  }
  // heaprun writes the blocks in address order; should they come otherwise, look at each.
  for (size_t i = 0; i < step.blockCount; i++)
    if (run.blocks[step.firstBlock + i].offset == offset &&
        run.blocks[step.firstBlock + i].state != BlockState::Fence)
      return static_cast<long>(i);
  return -1;
}

void writeBlock(FILE *out, const StepBlock &b, const Placed &p) {
  static const char *const kClasses[] = {"used", "free", "fence"};
  double y = barTop(p.row);
  fprintf(out,
          "<rect class=\"block %s\" data-offset=\"%ld\" data-size=\"%zu\" x=\"%.1f\" y=\"%.1f\" "
          "width=\"%.1f\" height=\"%.0f\"><title>",
          kClasses[static_cast<int>(b.state)], b.offset, b.size, p.x, y, p.width, kBarHeight);
  if (b.state == BlockState::Fence) {
    fprintf(out, "fencepost at %ld", b.offset);
  } else {
    if (b.state == BlockState::Free)
      fprintf(out, "free, #%zu in the free list", p.listPosition);
    else if (b.name.start != nullptr)
      putEscaped(out, b.name);
    else
      put(out, "in use, no name holds it");
    fprintf(out, ": %zu bytes at %ld", b.size, b.offset);
  }
  put(out, "</title></rect>");
  if (b.state == BlockState::Fence) return;

  char label[24];
  Text name{label, 0};
  if (b.state == BlockState::Free) {
    name.length = static_cast<size_t>(snprintf(label, sizeof label, "#%zu", p.listPosition));
  } else if (b.name.start != nullptr) {
    name = b.name;
  }
  size_t fits = static_cast<size_t>((p.width - 4) / kNameCharPx);
  if (name.length > 0 && fits > 0) {
    double cx = p.x + p.width / 2;
    fprintf(out, "<text class=\"name\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">", cx,
            y + kBarHeight / 2 - 2);
    if (name.length <= fits) {
      putEscaped(out, name);
    } else {
      putEscaped(out, name.start, fits > 1 ? fits - 1 : 1);
      put(out, "\u2026");
    }
    put(out, "</text>");
    char size[24];
    int n = snprintf(size, sizeof size, "%zu", b.size);
    if (n > 0 && n * kSizeCharPx + 4 <= p.width)
      fprintf(out, "<text class=\"size\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>",
              cx, y + kBarHeight / 2 + 11, size);
  }
  put(out, "\n");
}

// An arrow from one free block to the next along _nextFree: over the bar within a chunk,
// between the bars from one chunk to another.
void writeLink(FILE *out, const Placed &from, const Placed &to) {
  // Leaving right of the centre and arriving left of it, so that two links never meet.
  double x1 = from.x + from.width * 0.62, x2 = to.x + to.width * 0.38;
  double y1, y2, bend1, bend2;
  if (from.row == to.row) {
    double lift = 8 + (x2 > x1 ? x2 - x1 : x1 - x2) / 4;
    if (lift > kArrowSpace - 14) lift = kArrowSpace - 14;
    y1 = y2 = barTop(from.row);
    bend1 = bend2 = -lift;
  } else if (to.row < from.row) {  // up to the bottom of an earlier chunk's bar
    y1 = barTop(from.row);
    y2 = barTop(to.row) + kBarHeight;
    bend1 = -kArrowSpace / 2;
    bend2 = kRowGap;
  } else {
    y1 = barTop(from.row) + kBarHeight;
    y2 = barTop(to.row);
    bend1 = kRowGap;
    bend2 = -kArrowSpace / 2;
  }
  fprintf(out,
          "<path class=\"link\" marker-end=\"url(#arrowhead)\" "
          "d=\"M%.1f,%.1f C%.1f,%.1f %.1f,%.1f %.1f,%.1f\"/>\n",
          x1, y1, x1, y1 + bend1, x2, y2 + bend2, x2, y2);
}

// The picture of one step, placed with scratch room for its blocks.
void writePicture(FILE *out, const HeapRun &run, const Step &step, const Scale &scale,
                  Placed *placed) {
  int rows = 0;
  double x = kMargin;
  bool inRow = false;
  for (size_t i = 0; i < step.blockCount; i++) {
    const StepBlock &b = run.blocks[step.firstBlock + i];
    if (b.state == BlockState::Fence && !inRow) x = kMargin;
    placed[i] = Placed{x, widthOf(b, scale.perByte), rows, 0};
    x += placed[i].width;
    if (b.state == BlockState::Fence) {
      if (inRow) rows++;
      inRow = !inRow;
    }
  }
  for (size_t j = 0; j < step.freeCount; j++) {
    long i = blockAt(run, step, run.frees[step.firstFree + j].offset);
    if (i >= 0) placed[i].listPosition = j + 1;
  }
  double width = scale.width + 2 * kMargin;
  double height = kScaleHeight + rows * kRowHeight;
  fprintf(out,
          "<div class=\"picture\"><svg class=\"heap\" width=\"%.0f\" height=\"%.0f\" "
          "viewBox=\"0 0 %.0f %.0f\" role=\"img\" aria-label=\"The heap after step %ld\">\n",
          width, height, width, height, step.number);
  writeScale(out, scale);
  for (size_t i = 0; i < step.blockCount; i++) {
    const StepBlock &b = run.blocks[step.firstBlock + i];
    if (b.state == BlockState::Fence && placed[i].x == kMargin)  // a chunk's left fencepost
      fprintf(out, "<text class=\"chunk\" x=\"%.1f\" y=\"%.1f\">chunk %d at offset %ld</text>\n",
              kMargin, barTop(placed[i].row) - kArrowSpace + 12, placed[i].row, b.offset);
  }
  for (size_t i = 0; i < step.blockCount; i++)
    writeBlock(out, run.blocks[step.firstBlock + i], placed[i]);
  for (size_t j = 0; j + 1 < step.freeCount; j++) {
    long from = blockAt(run, step, run.frees[step.firstFree + j].offset);
    long to = blockAt(run, step, run.frees[step.firstFree + j + 1].offset);
    if (from >= 0 && to >= 0) writeLink(out, placed[from], placed[to]);
  }
  put(out, "</svg></div>\n");
}

void writeResult(FILE *out, const HeapRun &run, const Step &step) {
  put(out, "<p class=\"result\">");
  if (startsWith(step.call, "free ")) {
    put(out, "free returns nothing.");
  } else if (step.hasResult) {
    fprintf(out, "Returned offset %ld", step.result);
    long block = blockAt(run, step, step.result - static_cast<long>(mymalloc::kHeaderSize));
    if (block >= 0)
      fprintf(out, ": the payload of the %zu-byte block at %ld",
              run.blocks[step.firstBlock + block].size,
              step.result - static_cast<long>(mymalloc::kHeaderSize));
    put(out, ".");
  } else {
    put(out, "Returned null");
    if (step.error != 0)
      fprintf(out, ", errno %d%s", step.error, step.error == ENOMEM ? " (ENOMEM)" : "");
    put(out, ".");
  }
  put(out, "</p>\n");
  if (step.message.start != nullptr) {
    put(out, "<p class=\"message\">The allocator wrote: <samp>");
    putEscaped(out, step.message);
    put(out, "</samp></p>\n");
  }
}

void writeFreeList(FILE *out, const HeapRun &run, const Step &step) {
  put(out, "<p class=\"freelist\"><code>FreeList: ");
  for (size_t j = 0; j < step.freeCount; j++) {
    const FreeEntry &f = run.frees[step.firstFree + j];
    fprintf(out, "%s[offset:%ld,size:%zu]", j > 0 ? "-&gt;" : "", f.offset, f.size);
  }
  size_t chunks = step.heap / mymalloc::kChunkSize;
  fprintf(out, "</code></p>\n<p class=\"heapsize\">Heap: %zu bytes, %zu chunk%s.</p>\n", step.heap,
          chunks, chunks == 1 ? "" : "s");
}

void writeSteps(FILE *out, const HeapRun &run) {
  size_t most = 0;
  for (size_t s = 0; s < run.stepCount; s++)
    if (run.steps[s].blockCount > most) most = run.steps[s].blockCount;
  Placed *placed = static_cast<Placed *>(malloc((most + 1) * sizeof(Placed)));
  if (placed == nullptr) {
    put(out, "<p class=\"problem\">The pictures need more memory than the server has.</p>\n");
    return;
  }
  Scale scale = scaleFor(run);
  fprintf(
      out,
      "<h2>The heap after each call</h2>\n<p class=\"legend\"><span class=\"used\"></span>in "
      "use, with its name<span class=\"free\"></span>free, #n: its place in the free list"
      "<span class=\"fence\"></span>fencepost. Arrows follow <code>_nextFree</code> from the "
      "head of the list. Offsets count from the first chunk, as <code>print_list</code> "
      "counts.</p>\n<nav id=\"stepper\" hidden><button type=\"button\" id=\"prev\">\u25c0 "
      "Previous</button><span id=\"position\" aria-live=\"polite\"></span><button "
      "type=\"button\" id=\"next\">Next \u25b6</button><small>or the arrow keys</small></nav>\n");
  for (size_t s = 0; s < run.stepCount; s++) {
    const Step &step = run.steps[s];
    fprintf(out, "<section class=\"step\" id=\"step-%ld\">\n<h3>Step %ld: <code>", step.number,
            step.number);
    putEscaped(out, step.call);
    put(out, "</code></h3>\n");
    writeResult(out, run, step);
    writePicture(out, run, step, scale, placed);
    writeFreeList(out, run, step);
    put(out, "</section>\n");
  }
  free(placed);
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
      "<form action=\"heap\" method=\"get\" id=\"run\" data-line-max=\"");
  fprintf(out, "%zu", kRequestLineMax);
  put(out, "\"><label for=\"script\">Script, one call a "
      "line:</label>\n<textarea name=\"script\" id=\"script\" rows=\"10\" spellcheck=\"false\">\n");
  // A browser drops the line feed right after <textarea>, so the script's own first one stays.
  putEscaped(out, in.script, in.scriptLength);
  put(out,
      "</textarea>\n<p><button type=\"submit\">Run</button></p>\n"
      "<p id=\"toolong\" class=\"problem\" hidden></p></form>\n");
}

}  // namespace

void writePage(FILE *out, const PageInput &in) {
  // The style goes into the head, where the page's HTML closes it.
  const char *headEnd = strstr(kHeapPageHtml, "</head>");
  fwrite(kHeapPageHtml, 1, static_cast<size_t>(headEnd - kHeapPageHtml), out);
  put(out, "<style>\n");
  put(out, kHeapPageCss);
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
  if (run.stepCount > 0) writeSteps(out, run);
  freeHeapRun(&run);
  put(out, "<script>\n");
  put(out, kHeapPageJs);
  put(out, "</script>\n");
  put(out, "</body>\n</html>\n");
}

}  // namespace heapview
