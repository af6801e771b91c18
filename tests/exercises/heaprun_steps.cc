#include "heaprun_steps.h"

#include <algorithm>
#include <map>

namespace heapsteps {
namespace {

const Value kNull;

struct Parser {
  const std::string &s;
  size_t at = 0;
  void blank() {
    while (at < s.size() && (s[at] == ' ' || s[at] == '\t')) at++;
  }
  bool eat(char c) {
    blank();
    if (at < s.size() && s[at] == c) {
      at++;
      return true;
    }
    return false;
  }
  bool string(std::string *out) {
    if (!eat('"')) return false;
    for (; at < s.size() && s[at] != '"'; at++) {
      if (s[at] != '\\') {
        out->push_back(s[at]);
        continue;
      }
      if (++at >= s.size()) return false;
      char c = s[at];
      if (c == 'u' && at + 4 < s.size()) {
        out->push_back(static_cast<char>(std::stoi(s.substr(at + 1, 4), nullptr, 16)));
        at += 4;
      } else {
        out->push_back(c == 'n' ? '\n' : c == 't' ? '\t' : c);
      }
    }
    return eat('"');
  }
  bool value(Value *v) {
    blank();
    if (at >= s.size()) return false;
    char c = s[at];
    if (c == 'n' && s.compare(at, 4, "null") == 0) {
      at += 4;
      v->kind = Value::Null;
      return true;
    }
    if (c == '"') {
      v->kind = Value::String;
      return string(&v->text);
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
      size_t used = 0;
      v->kind = Value::Number;
      v->number = std::stoll(s.substr(at), &used);
      at += used;
      return true;
    }
    bool array = c == '[';
    if (!array && c != '{') return false;
    at++;
    v->kind = array ? Value::Array : Value::Object;
    if (eat(array ? ']' : '}')) return true;
    do {
      Value item;
      std::string key;
      if (!array && (!string(&key) || !eat(':'))) return false;
      if (!value(&item)) return false;
      if (!array) v->keys.push_back(std::move(key));
      v->items.push_back(std::move(item));
    } while (eat(','));
    return eat(array ? ']' : '}');
  }
};

}  // namespace

const Value &Value::operator[](size_t i) const { return i < items.size() ? items[i] : kNull; }
const Value &Value::operator[](const std::string &k) const {
  for (size_t i = 0; i < keys.size(); i++)
    if (keys[i] == k) return items[i];
  return kNull;
}

bool parse(const std::string &text, Value *out) {
  Parser p{text};
  *out = Value();
  return p.value(out) && (p.blank(), p.at == text.size());
}

Run read(const std::string &output) {
  Run run;
  std::map<long, StepBlock> heap;
  size_t start = 0;
  auto fail = [&](const std::string &why) {
    if (run.ok) run.problem = why;
    run.ok = false;
  };
  for (size_t end; (end = output.find('\n', start)) != std::string::npos; start = end + 1) {
    Value v;
    if (!parse(output.substr(start, end - start), &v)) {
      fail("not JSON: " + output.substr(start, std::min<size_t>(end - start, 80)));
      break;
    }
    if (run.header.isNull()) {
      run.header = v;
      if (v["layout"].isNull()) fail("no header");
      continue;
    }
    if (v.kind == Value::Object) {
      run.stop = v["stop"];
      continue;
    }
    Step step;
    step.line = v;
    const Value &c = v[0];
    step.kind = static_cast<int>(c[0].number);
    auto name = [&](const Value &n) {
      return n.number < 0 ? std::string("null") : run.header["names"][n.number].text;
    };
    auto num = [](const Value &n) { return n.kind == Value::String ? n.text : std::to_string(n.number); };
    std::string target = step.kind <= 2 && c[1].number >= 0 ? name(c[1]) + " = " : "";
    static const char *const kVerbs[] = {"malloc", "calloc", "realloc", "free", "free!", "overflow", "write"};
    step.call = target + kVerbs[step.kind] + " ";
    if (step.kind == 0) step.call += num(c[2]);
    if (step.kind == 1) step.call += num(c[2]) + " " + num(c[3]);
    if (step.kind == 2) step.call += name(c[2]) + " " + num(c[3]);
    if (step.kind >= 3) step.call += name(c[1]);
    if (step.kind >= 5 && c[2].number > 0) step.call += " " + num(c[2]);
    step.hasResult = !v[1].isNull();
    step.result = v[1].kind == Value::Number ? static_cast<long>(v[1].number) : -1;
    step.error = static_cast<int>(v[2].number);
    for (const Value &g : v[4].items)
      if (heap.erase(static_cast<long>(g.number)) == 0) fail("a gone block that is not there");
    for (const StepBlock &b : run.blocksOf(v[3])) heap[b.offset] = b;
    step.head = v[5].kind == Value::Number ? static_cast<long>(v[5].number) : -2;
    step.heap = static_cast<size_t>(v[6].number);
    step.message = v[8].text;
    for (const auto &[offset, b] : heap) step.blocks.push_back(b);
    run.steps.push_back(std::move(step));
  }
  return run;
}

std::vector<StepBlock> Run::blocksOf(const Value &blocks) const {
  std::vector<StepBlock> out;
  auto name = [&](const Value &n) {
    return n.number < 0 ? std::string("null") : header["names"][n.number].text;
  };
  const std::vector<Value> &flat = blocks.items;
  for (size_t i = 0; i < flat.size();) {
    StepBlock b{};
    int state = static_cast<int>(flat[i].number);
    b.state = static_cast<BlockState>(state);
    b.offset = static_cast<long>(flat[i + 1].number);
    if (state == 2) {
      b.size = static_cast<size_t>(header["layout"]["fencepostSize"].number);
      b.left = static_cast<size_t>(flat[i + 2].number);
      i += 3;
    } else {
      b.size = static_cast<size_t>(flat[i + 2].number);
      b.left = static_cast<size_t>(flat[i + 3].number);
      if (state == 0) {
        const Value &n = flat[i + 4];
        for (const Value &x : n.kind == Value::Array ? n.items : std::vector<Value>{n})
          if (x.number >= 0) b.name += (b.name.empty() ? "" : ",") + name(x);
      } else if (state == 1) {
        b.next = flat[i + 4].kind == Value::Number ? static_cast<long>(flat[i + 4].number) : -2;
        b.prev = flat[i + 5].kind == Value::Number ? static_cast<long>(flat[i + 5].number) : -2;
      } else {
        b.size = static_cast<size_t>(flat[i + 4].number);
      }
      i += state == 1 ? 6 : 5;
    }
    out.push_back(b);
  }
  return out;
}

std::vector<std::pair<long, size_t>> Run::freeList(long step) const {
  std::vector<std::pair<long, size_t>> list;
  if (step < 0) return list;
  const Step &s = steps[static_cast<size_t>(step)];
  for (long at = s.head; at != kNoLink && list.size() <= s.blocks.size();) {
    const StepBlock *b = blockAt(static_cast<size_t>(step), at);
    if (b == nullptr) break;
    list.emplace_back(b->offset, b->size);
    at = b->next;
  }
  return list;
}

const StepBlock *Run::blockAt(size_t step, long offset) const {
  const std::vector<StepBlock> &blocks = steps[step].blocks;
  auto b = std::lower_bound(blocks.begin(), blocks.end(), offset,
                            [](const StepBlock &x, long o) { return x.offset < o; });
  return b != blocks.end() && b->offset == offset ? &*b : nullptr;
}

}  // namespace heapsteps
