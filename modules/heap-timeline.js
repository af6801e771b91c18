// A program's recording (MYMALLOC_TRACE=FILE, docs/heaprun.md) in the heap explorer: read in
// the browser from the file's bytes, checked record by record, and drawn as a timeline (every
// block a bar from its malloc to its free, by size, coloured by the code that allocated it;
// blocks never freed reach the end as leaks) with a summary beside it. The server names the
// call sites from the modules' symbol tables (heaptrace --names), after the picture is up.
'use strict';
window.heapTimeline = (function () {
  var RECORD = 32, PATH_MAX = 4096;
  var KINDS = ['', 'malloc', 'free', 'realloc', 'calloc', 'aligned_alloc', 'memalign',
    'posix_memalign', 'valloc', 'pvalloc'];
  var MALLOC = 1, FREE = 2, REALLOC = 3, CALLOC = 4, LAST_CALL = 9, MODULE = 16, EXEC = 17, THREAD = 18, EXTRA = 19, FORKED = 1;
  var TWO32 = 4294967296, SEQ_LIMIT_HI = 1 << 20, ADDRESS_LIMIT_HI = 1 << 24, BLOCK_LIMIT_HI = 1 << 15;
  var RACE_WINDOW = 65536;  // calls a realloc's two sequences may stand apart
  var PALETTE = ['#1d7fbf', '#ff9f1c', '#2a9d8f', '#8338ec', '#e9c46a', '#06d6a0', '#b5179e',
    '#3a86ff', '#8d6e63', '#ff006e', '#588157', '#f4a261'];
  var OTHER = '#b8b8b8';

  function isRecording(buffer) {
    if (buffer.byteLength < 8) return false;
    return new TextDecoder().decode(new Uint8Array(buffer, 0, 8)) === 'MYMTRACE';
  }

  function refuse(record, why) { throw new Error('record ' + record + ': ' + why); }

  // Reads the file: its header, modules and calls, each checked as heaptrace checks them.
  function read(buffer) {
    var dv = new DataView(buffer), count = Math.floor(buffer.byteLength / RECORD);
    if (buffer.byteLength < RECORD) refuse(0, buffer.byteLength + ' bytes: too short for the header');
    if (!isRecording(buffer)) refuse(0, 'not a MYMALLOC_TRACE recording');
    function u32(o) { return dv.getUint32(o, true); }
    function hi(o) { return dv.getUint32(o + 4, true); }
    function u64(o) { return dv.getUint32(o, true) + dv.getUint32(o + 4, true) * TWO32; }
    if (u32(8) !== 1) refuse(0, 'version ' + u32(8) + '; this reader knows 1');
    if (u32(12) !== RECORD) refuse(0, 'records of ' + u32(12) + ' bytes; this reader knows ' + RECORD);
    var rec = { pid: u32(16), parent: u32(20), forked: (u32(24) & FORKED) !== 0,
      modules: [], calls: [], cut: buffer.byteLength % RECORD };
    var threads = new Set(), thread = 0;
    var text = new TextDecoder();
    // The first word: the sequence in its low 56 bits, the kind in the top byte.
    function kindAt(i) { return dv.getUint8(i * RECORD + 7); }
    for (var i = 1; i < count; i++) {
      var o = i * RECORD, kind = kindAt(i), seq = u32(o) + (hi(o) & 0xffffff) * TWO32;
      if (kind === THREAD) {
        if (u64(o + 8) === 0 || hi(o + 8) !== 0) refuse(i, 'thread ' + u64(o + 8));
        thread = u32(o + 8);
        continue;
      }
      if ((kind < 1 || kind > LAST_CALL) && kind !== EXEC && kind !== MODULE)
        refuse(i, kind === EXTRA ? 'a second record without its first' : 'unknown kind ' + kind);
      if ((hi(o) & 0xffffff) >= SEQ_LIMIT_HI || seq === 0) refuse(i, 'sequence ' + seq + ' past any limit');
      var x = -1;  // the kExtra record's offset
      if (kind === MODULE || (kind >= REALLOC && kind <= LAST_CALL)) {
        if (i + 1 >= count) refuse(i, 'its second record cut short');
        if (kindAt(i + 1) !== EXTRA) refuse(i + 1, 'not the second record of the one before');
        x = o + RECORD;
      }
      if (kind === MODULE) {
        var length = u64(x + 8), parts = Math.ceil(length / RECORD);
        if (length === 0 || length > PATH_MAX) refuse(i, "a module's path of " + length + ' bytes (1 to ' + PATH_MAX + ')');
        if (i + 1 + parts >= count) refuse(i, "a module's path cut short");
        if (u64(o + 16) >= u64(o + 24) || hi(o + 24) >= ADDRESS_LIMIT_HI) refuse(i, "a module's code range is not a range of addresses");
        var bytes = new Uint8Array(buffer, o + 2 * RECORD, length);
        if (bytes.indexOf(0) >= 0) refuse(i, "a NUL byte in a module's path");
        rec.modules.push({ seq: seq, bias: u64(o + 8), lo: u64(o + 16), hi: u64(o + 24), path: text.decode(bytes) });
        i += 1 + parts;
        continue;
      }
      if (thread === 0) refuse(i, 'a call before any thread record');
      var c = { record: i, seq: seq, kind: kind, size: 0, extra: 0, before: 0, given: 0, result: 0, caller: 0 };
      if (kind === FREE) {
        c.given = u64(o + 8); c.caller = u64(o + 24);
        if (hi(o + 8) >= ADDRESS_LIMIT_HI) refuse(i, "an address past any process's address space");
      } else if (kind !== EXEC) {
        c.size = u64(o + 8); c.result = u64(o + 16); c.caller = u64(o + 24);
        if (kind === REALLOC) { c.given = u64(x + 8); c.before = u64(x + 16); } else if (x >= 0) c.extra = u64(x + 8);
        if (hi(o + 16) >= ADDRESS_LIMIT_HI || (kind === REALLOC && hi(x + 8) >= ADDRESS_LIMIT_HI))
          refuse(i, "an address past any process's address space");
        if (dv.getUint32(o + 16, true) % 8 !== 0) refuse(i, 'a block at ' + hex(c.result) + ', which is not 8-byte aligned');
        var total = kind === CALLOC ? c.size * c.extra : c.size;
        if (c.result !== 0 && (total >= BLOCK_LIMIT_HI * TWO32 || hi(o + 8) >= BLOCK_LIMIT_HI))
          refuse(i, 'a block of ' + total + ' bytes returned, more than any machine holds');
        if (kind === REALLOC && c.before >= seq) refuse(i, 'a realloc that ends before it begins');
        if (kind === CALLOC) c.size = total;
        if (x >= 0) i++;
      }
      if (kind !== EXEC) {
        if (hi(o + 24) >= ADDRESS_LIMIT_HI) refuse(c.record, "an address past any process's address space");
        threads.add(thread);
      }
      rec.calls.push(c);
    }
    rec.calls.sort(function (a, b) { return a.seq - b.seq || a.record - b.record; });
    for (var k = 1; k < rec.calls.length; k++)
      if (rec.calls[k].seq === rec.calls[k - 1].seq) refuse(rec.calls[k].record, 'sequence ' + rec.calls[k].seq + ' also at record ' + rec.calls[k - 1].record);
    rec.threads = threads.size;
    return rec;
  }

  function hex(n) { return '0x' + n.toString(16); }

  // A table by address (open addressing, linear probing, tombstones): a Map keyed by such
  // numbers hashes them poorly, and a heap's addresses slow it to a crawl.
  function AddressTable() { this.grow(1024); }
  AddressTable.prototype.grow = function (room) {
    var keys = this.keys, values = this.values;
    this.keys = new Float64Array(room);
    this.values = new Int32Array(room).fill(-1);  // -1 empty, -2 removed
    this.used = 0;
    this.mask = room - 1;
    if (keys) for (var i = 0; i < keys.length; i++) if (values[i] >= 0) this.set(keys[i], values[i]);
  };
  AddressTable.prototype.slot = function (key) {
    var lo = key % TWO32, hi = (key - lo) / TWO32;
    var h = Math.imul((lo >>> 3) ^ Math.imul(hi, 0x85ebca6b), 0x9e3779b1);
    return (h ^ (h >>> 15)) & this.mask;
  };
  AddressTable.prototype.get = function (key) {  // -1 when absent
    for (var s = this.slot(key); this.values[s] !== -1; s = (s + 1) & this.mask)
      if (this.values[s] >= 0 && this.keys[s] === key) return this.values[s];
    return -1;
  };
  AddressTable.prototype.set = function (key, value) {
    var s = this.slot(key), free = -1;
    for (; this.values[s] !== -1; s = (s + 1) & this.mask) {
      if (this.values[s] >= 0 && this.keys[s] === key) { this.values[s] = value; return; }
      if (this.values[s] === -2 && free < 0) free = s;
    }
    if (free < 0) { free = s; this.used++; }
    this.keys[free] = key;
    this.values[free] = value;
    if (this.used * 2 > this.mask) this.grow((this.mask + 1) * 2);
  };
  AddressTable.prototype.remove = function (key) {
    for (var s = this.slot(key); this.values[s] !== -1; s = (s + 1) & this.mask)
      if (this.values[s] >= 0 && this.keys[s] === key) { this.values[s] = -2; return; }
  };

  // A realloc that moves hands its old block back between its two sequences; another
  // thread's malloc may reuse the address in between. Such a realloc moves to just before it.
  function settleRace(calls, at, address) {
    for (var k = at + 1; k < calls.length && k < at + RACE_WINDOW; k++) {
      var c = calls[k];
      if (c.kind === REALLOC && c.given === address && c.before < calls[at].seq) {
        calls.splice(k, 1);
        calls.splice(at, 0, c);
        return true;
      }
    }
    return false;
  }

  // The last program's calls as blocks over time, the sites that made them, and the figures.
  function build(rec) {
    var calls = rec.calls, first = 0;
    for (var e = 0; e < calls.length; e++) if (calls[e].kind === EXEC) first = e + 1;
    var held = first > 0 ? false : rec.forked;
    var v = { rec: rec, first: first, start: [], end: [], size: [], site: [], sites: [], live: [], steps: 0,
      kinds: new Array(LAST_CALL + 1).fill(0), refused: 0, inherited: 0, peak: 0, peakAt: 0,
      hist: new Array(64).fill(0), leaks: 0, leakBytes: 0, program: null };
    var siteOf = new AddressTable(), live = new AddressTable(), freed = new AddressTable(), liveBytes = 0;
    function site(caller) {
      var s = siteOf.get(caller);
      if (s < 0) {
        s = v.sites.length;
        siteOf.set(caller, s);
        v.sites.push({ address: caller, firstSeq: 0, calls: 0, blocks: 0, bytes: 0, leaks: 0, leakBytes: 0, name: null });
      }
      return s;
    }
    function begin(c, size) {
      var b = v.start.length, s = site(c.caller);
      v.start.push(v.steps); v.end.push(-1); v.size.push(size); v.site.push(s);
      v.sites[s].blocks++;
      v.sites[s].bytes += size;
      live.set(c.result, b);
      freed.remove(c.result);
      liveBytes += size;
      if (liveBytes > v.peak) { v.peak = liveBytes; v.peakAt = v.steps; }
      v.hist[size <= 1 ? 0 : Math.ceil(Math.log2(size))]++;
    }
    function finish(c, address) {
      var b = live.get(address), when = freed.get(address);
      if (b < 0) {
        if (held && when < 0) { v.inherited++; return; }
        refuse(c.record, KINDS[c.kind] + ' of ' + hex(address) + (when >= 0 ? ', freed already at record ' + when : ', which no call returned'));
      }
      live.remove(address);
      freed.set(address, c.record);
      v.end[b] = v.steps;
      liveBytes -= v.size[b];
    }
    for (var k = first; k < calls.length; k++) {
      var c = calls[k];
      var fresh = c.kind !== FREE && c.result !== 0 && c.result !== c.given;
      if (fresh && live.get(c.result) >= 0 && settleRace(calls, k, c.result)) { k--; continue; }
      if (fresh && live.get(c.result) >= 0) refuse(c.record, 'a block at ' + hex(c.result) + ' returned while another block is there');
      v.kinds[c.kind]++;
      var st = v.sites[site(c.caller)];
      if (st.calls++ === 0) st.firstSeq = c.seq;
      if (c.kind === FREE) {
        if (c.given !== 0) finish(c, c.given);
      } else if (c.kind === REALLOC && c.given !== 0) {
        if (c.result !== 0 || c.size === 0) finish(c, c.given);
        if (c.result !== 0) begin(c, c.size);
      } else if (c.result !== 0) {
        begin(c, c.size);
      } else {
        v.refused++;
      }
      v.live.push(liveBytes);
      v.steps++;
    }
    for (var b = 0; b < v.end.length; b++) {
      if (v.end[b] >= 0) continue;
      v.leaks++;
      v.leakBytes += v.size[b];
      v.sites[v.site[b]].leaks++;
      v.sites[v.site[b]].leakBytes += v.size[b];
    }
    // Each site's module: the one recorded last before the site's first call that holds it, or
    // failing that the first recorded after.
    var mods = rec.modules.slice().sort(function (a, b) { return a.seq - b.seq; });
    v.sites.forEach(function (s) {
      for (var m = 0; m < mods.length; m++) {
        var mod = mods[m];
        if (s.module && mod.seq > s.firstSeq) break;
        if (s.address >= mod.lo && s.address < mod.hi) s.module = mod;
      }
      s.offset = s.module ? s.address - s.module.bias : s.address;
    });
    if (mods.length) v.program = mods[0].path;
    return v;
  }

  // The classic allocator's limits: heaprun replays at most REPLAY_MAX calls, and refuses a
  // request of 0 bytes or of more than a chunk holds (MyMallocLayout.h's kLargestRequest).
  var REPLAY_MAX = 10000, LARGEST_REQUEST = 2097088;

  // The recording's first calls (of its last program) as the course's allocation trace, as
  // heaptrace --script writes it: an ID per block, kept through realloc; a request the classic
  // allocator refuses is written to be shown refused, and its block's later free left out (a
  // realloc of it becomes an "a" line).
  function courseScript(limit) {
    var calls = view.rec.calls, ids = new AddressTable(), lines = [], next = 0;
    function refusedOnClassic(n) { return n === 0 || n > LARGEST_REQUEST ? 1 : 0; }
    for (var k = view.first; k < calls.length && lines.length < limit; k++) {
      var c = calls[k], fromBlock = (c.kind === FREE || c.kind === REALLOC) && c.given !== 0;
      var entry = fromBlock ? ids.get(c.given) : -1;
      if (fromBlock && entry < 0) continue;  // free(NULL), or a block from before the recording
      if (c.kind === FREE || (c.kind === REALLOC && c.given !== 0 && c.size === 0)) {
        if ((entry & 1) === 0) lines.push('f ' + (entry >> 1));
        ids.remove(c.given);
        continue;
      }
      if (c.kind === REALLOC && c.given !== 0) {
        if (c.result === 0) continue;  // refused: the block stays where it was
        ids.remove(c.given);
        lines.push(((entry & 1) ? 'a ' : 'r ') + (entry >> 1) + ' ' + c.size);
        ids.set(c.result, (entry >> 1) * 2 + refusedOnClassic(c.size));
        continue;
      }
      var id = next++;
      lines.push('a ' + id + ' ' + c.size);
      if (c.result !== 0) ids.set(c.result, id * 2 + refusedOnClassic(c.size));
    }
    return '0\n' + next + '\n' + lines.length + '\n1\n' + lines.join('\n') + '\n';
  }

  // Puts the recording's first calls into the script form and runs them on the classic
  // allocator: the explorer then shows the heap after each, with its sentences.
  function replayOnClassic() {
    if (served || view.steps > REPLAY_MAX) { replayOnServer(); return; }
    var form = document.getElementById('run');
    form.elements.script.value = courseScript(REPLAY_MAX);
    if (form.requestSubmit) form.requestSubmit();
    else form.submit();
  }

  // Every call of the recording (up to a million), replayed once on the server, its steps
  // fetched by window as the slider asks for them: the server's own recording, or one picked
  // here, whose calls go up as the course's trace in parts (a request's body is bounded).
  var REPLAY_LONG = 1000000, PART = 600000;
  function replayOnServer() {
    var note = section.querySelector('.tl-replay span'), began = performance.now();
    function fail(why) { note.textContent = ' ' + why; note.setAttribute('role', 'alert'); }
    function answered(r) { return r.json().then(function (a) { if (a.error) throw new Error(a.error); return a; }); }
    function ask(what) {
      fetch('heap?replay=' + what).then(answered).then(function (answer) {
        if (answer.pending) {  // under way: ask again
          note.textContent = ' replaying on the server\u2026 (' + Math.round((performance.now() - began) / 1000) + ' s)';
          setTimeout(function () { ask(answer.pending); }, 500);
          return;
        }
        window.heapExplorer.keptRun(answer.run, answer.steps, function (run) {
          var root = document.getElementById('explorer');
          if (!root) {
            root = el('div');
            root.id = 'explorer';
            section.parentNode.insertBefore(root, section.nextSibling);
          }
          root.hidden = false;
          note.textContent = ' ' + answer.steps.toLocaleString('en') + ' of ' + view.steps.toLocaleString('en') +
            ' calls replayed (a refused one among them shown refused): the slider reaches every step.';
          window.heapExplorer.replay(root, run);
          section.dataset.replayed = String(answer.steps);
        }, fail);
      }).catch(function (err) { fail('The replay failed: ' + err.message); });
    }
    note.textContent = ' replaying on the server\u2026';
    if (served) { ask('trace'); return; }
    var text = courseScript(REPLAY_LONG), at = 0;
    var id = Array.from(crypto.getRandomValues(new Uint8Array(8)), function (b) { return (b + 256).toString(16).slice(1); }).join('');
    function send() {
      var end = Math.min(text.length, at + PART);
      if (end < text.length) end = text.lastIndexOf('\n', end - 1) + 1 || end;
      var body = new URLSearchParams({ upload: id, at: at, script: text.slice(at, end) });
      if (end === text.length) body.set('last', '1');
      note.textContent = ' sending the calls\u2026 (' + Math.round(100 * at / text.length) + '%)';
      fetch('heap', { method: 'POST', body: body.toString(), headers: { 'Content-Type': 'application/x-www-form-urlencoded' } })
        .then(answered).then(function (answer) {
          at = end;
          if (answer.part) send(); else ask(answer.pending || answer.run);
        }).catch(function (err) { fail('The replay failed: ' + err.message); });
    }
    send();
  }

  function bytesText(n) {
    if (n < 1024) return n + ' B';
    var units = ['KiB', 'MiB', 'GiB', 'TiB'], u = -1;
    do { n /= 1024; u++; } while (n >= 1024 && u < units.length - 1);
    return (n < 10 ? n.toFixed(1) : Math.round(n)) + ' ' + units[u];
  }
  function base(path) { return path.slice(path.lastIndexOf('/') + 1); }
  function siteLabel(s) {
    var where = s.module ? base(s.module.path) + '+' + hex(s.offset) : hex(s.address);
    return s.name ? s.name + ' (' + where + ')' : where;
  }
  function el(tag, cls, text) {
    var e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  // ---- The view ----

  var view = null, section = null, highlight = -1, served = false, opening = 0;

  function colourOf(s) { return view.sites[s].colour || OTHER; }

  // Lanes within each size band (a power of two), packed greedily so that bars overlap only
  // where the band is full.
  function layout(height) {
    var lo = 64, hi = 0, n = view.start.length;
    for (var b = 0; b < n; b++) {
      var band = view.size[b] <= 1 ? 0 : Math.ceil(Math.log2(view.size[b]));
      if (band < lo) lo = band;
      if (band > hi) hi = band;
    }
    if (n === 0) { lo = 4; hi = 5; }
    var bands = hi - lo + 1, bandHeight = Math.max(8, Math.floor(height / bands));
    var lanes = Math.max(1, Math.floor((bandHeight - 2) / 2)), ends = [];
    for (var k = 0; k < bands; k++) ends.push(new Array(lanes).fill(-1));
    var y = new Float32Array(n);
    for (b = 0; b < n; b++) {
      var bd = (view.size[b] <= 1 ? 0 : Math.ceil(Math.log2(view.size[b]))) - lo;
      var e = ends[bd], stop = view.end[b] < 0 ? Infinity : view.end[b], lane = -1, least = 0;
      for (var l = 0; l < lanes; l++) {
        if (e[l] <= view.start[b]) { lane = l; break; }
        if (e[l] < e[least]) least = l;
      }
      if (lane < 0) lane = least;
      e[lane] = stop;
      y[b] = (hi - lo - bd) * bandHeight + 1 + lane * 2;  // large blocks on top
    }
    return { lo: lo, hi: hi, bandHeight: bandHeight, y: y, height: bands * bandHeight };
  }

  function drawTimeline() {
    var canvas = section.querySelector('canvas.bars');
    var curve = section.querySelector('canvas.live');
    var width = Math.max(200, canvas.parentElement.clientWidth);
    var axis = 58, leakStrip = 8, plot = width - axis - leakStrip;
    var lay = view.layout || (view.layout = layout(Math.min(480, Math.max(240, view.start.length / 40))));
    var ratio = window.devicePixelRatio || 1;
    canvas.width = width * ratio; canvas.height = lay.height * ratio;
    canvas.style.height = lay.height + 'px';
    var ctx = canvas.getContext('2d');
    ctx.scale(ratio, ratio);
    ctx.font = '10px system-ui, sans-serif';
    ctx.fillStyle = '#555';
    for (var band = lay.lo; band <= lay.hi; band++) {
      var top = (lay.hi - band) * lay.bandHeight;
      ctx.fillStyle = (band % 2) ? '#fafafa' : '#f0f0f0';
      ctx.fillRect(axis, top, plot + leakStrip, lay.bandHeight);
      if (lay.bandHeight >= 10 || band % 2 === 0) {
        ctx.fillStyle = '#555';
        ctx.fillText('\u2264 ' + bytesText(Math.pow(2, band)), 2, top + Math.min(lay.bandHeight, 12) - 1);
      }
    }
    var steps = Math.max(1, view.steps), scale = plot / steps;
    var byColour = new Map();
    for (var b = 0; b < view.start.length; b++) {
      var colour = highlight >= 0 && view.site[b] !== highlight ? '#dedede' : colourOf(view.site[b]);
      var list = byColour.get(colour);
      if (!list) byColour.set(colour, list = []);
      list.push(b);
    }
    // Faded bars first, so the highlighted site's stand on top.
    var order = Array.from(byColour.keys()).sort(function (a, b2) { return (a === '#dedede' ? -1 : 0) - (b2 === '#dedede' ? -1 : 0); });
    order.forEach(function (c) {
      ctx.fillStyle = c;
      byColour.get(c).forEach(function (k) {
        var x0 = axis + view.start[k] * scale;
        var x1 = view.end[k] < 0 ? axis + plot + leakStrip : axis + view.end[k] * scale;
        ctx.fillRect(x0, lay.y[k], Math.max(1, x1 - x0), 1.6);
      });
    });
    ctx.fillStyle = '#d62828';  // the leaks' ends
    for (b = 0; b < view.start.length; b++)
      if (view.end[b] < 0 && (highlight < 0 || view.site[b] === highlight))
        ctx.fillRect(axis + plot + 2, lay.y[b] - 1, leakStrip - 2, 3);
    // Live bytes over time, the peak marked.
    var h = 60;
    curve.width = width * ratio; curve.height = h * ratio; curve.style.height = h + 'px';
    var cx = curve.getContext('2d');
    cx.scale(ratio, ratio);
    cx.fillStyle = '#1d3557';
    var peak = Math.max(1, view.peak);
    for (var x = 0; x < plot; x++) {
      var from = Math.floor(x / scale), to = Math.min(view.steps, Math.floor((x + 1) / scale) + 1), most = 0;
      for (var s = from; s < to; s++) if (view.live[s] > most) most = view.live[s];
      var bar = most / peak * (h - 14);
      cx.fillRect(axis + x, h - bar, 1, bar);
    }
    cx.fillStyle = '#555';
    cx.font = '10px system-ui, sans-serif';
    cx.fillText('live bytes', 2, 10);
    cx.fillText('peak ' + bytesText(view.peak) + ' at call ' + (view.peakAt + 1), axis + 2, 10);
  }

  function table(title, rows, head) {
    var box = el('div', 'tl-table');
    box.appendChild(el('h4', null, title));
    var t = el('table');
    var tr = el('tr');
    head.forEach(function (hd) { tr.appendChild(el('th', null, hd)); });
    t.appendChild(tr);
    rows.forEach(function (r) {
      var row = el('tr');
      r.cells.forEach(function (c, i) {
        var td = el('td', i ? 'num' : 'site', String(c));
        if (i === 0 && r.site !== undefined) {
          var sw = el('span', 'swatch');
          sw.style.background = colourOf(r.site);
          td.prepend(sw);
          row.dataset.site = r.site;
          row.tabIndex = 0;
        }
        row.appendChild(td);
      });
      t.appendChild(row);
    });
    box.appendChild(t);
    return box;
  }

  function top(key, n) {
    return view.sites.map(function (s, i) { return i; }).filter(function (i) { return view.sites[i][key] > 0; })
      .sort(function (a, b) { return view.sites[b][key] - view.sites[a][key]; }).slice(0, n);
  }

  function drawSummary() {
    var box = section.querySelector('.tl-summary');
    box.textContent = '';
    var dl = el('dl', 'figures');
    function row(k, val) { dl.appendChild(el('dt', null, k)); dl.appendChild(el('dd', null, val)); }
    var rec = view.rec;
    row('Program', (view.program || '?') + ', process ' + rec.pid + (rec.forked ? ' (a child of fork)' : ''));
    row('Calls', view.steps + ' from ' + rec.threads + ' thread' + (rec.threads === 1 ? '' : 's'));
    var kinds = [];
    for (var k = 1; k <= LAST_CALL; k++) if (view.kinds[k]) kinds.push(KINDS[k] + ' ' + view.kinds[k]);
    row('By kind', kinds.join(', ') || 'none');
    row('Peak live', bytesText(view.peak) + ' (' + view.peak + ' bytes) at call ' + (view.peakAt + 1));
    row('Never freed', view.leaks + ' block' + (view.leaks === 1 ? '' : 's') + ', ' + bytesText(view.leakBytes));
    if (view.refused) row('Refused', view.refused + ' call' + (view.refused === 1 ? '' : 's') + ' returned null');
    if (view.inherited) row('Inherited', view.inherited + ' blocks from before the recording freed');
    if (rec.cut) row('Cut short', rec.cut + ' bytes after the last whole record (the program was stopped)');
    box.appendChild(dl);
    function siteRows(ids, cells) { return ids.map(function (i) { return { site: i, cells: cells(view.sites[i]) }; }); }
    box.appendChild(table('Leaks by call site', siteRows(top('leakBytes', 10), function (s) { return [siteLabel(s), s.leaks, bytesText(s.leakBytes)]; }), ['site', 'blocks', 'bytes']));
    box.appendChild(table('Call sites with the most bytes', siteRows(top('bytes', 10), function (s) { return [siteLabel(s), bytesText(s.bytes), s.blocks]; }), ['site', 'bytes', 'blocks']));
    box.appendChild(table('Call sites with the most calls', siteRows(top('calls', 10), function (s) { return [siteLabel(s), s.calls]; }), ['site', 'calls']));
    // The size histogram: requests by power of two.
    var hist = el('div', 'tl-table');
    hist.appendChild(el('h4', null, 'Sizes asked for'));
    var most = Math.max.apply(null, view.hist) || 1;
    view.hist.forEach(function (n, band) {
      if (!n) return;
      var r = el('div', 'hist-row');
      r.appendChild(el('span', 'hist-label', '\u2264 ' + bytesText(Math.pow(2, band))));
      var bar = el('span', 'hist-bar');
      bar.style.width = (n / most * 100) + '%';
      r.appendChild(bar);
      r.appendChild(el('span', 'hist-count', String(n)));
      hist.appendChild(r);
    });
    box.appendChild(hist);
    var replay = el('p', 'tl-replay');
    var button = el('button', null, served || view.steps > REPLAY_MAX ? 'Replay every call on the classic allocator' : 'Replay on the classic allocator');
    button.type = 'button';
    button.id = 'replay-recording';
    button.addEventListener('click', replayOnClassic);
    replay.appendChild(button);
    replay.appendChild(el('span', null, ' the same calls on the compiled-in MyMalloc, step by step (the course\u2019s trace: alignments are dropped' + (served || view.steps > REPLAY_MAX ? '; replayed on the server, up to a million calls' : '') + ').'));
    box.appendChild(replay);
    var legend = section.querySelector('.tl-legend');
    legend.textContent = '';
    view.sites.forEach(function (s, i) {
      if (!s.colour) return;
      var item = el('span', 'tl-key', siteLabel(s));
      var sw = el('span', 'swatch');
      sw.style.background = s.colour;
      item.prepend(sw);
      item.dataset.site = i;
      legend.appendChild(item);
    });
    legend.appendChild(el('span', 'tl-key other', 'grey: other sites; a bar that reaches the red mark at the right was never freed'));
  }

  // Asks the server for the sites' function names, read from their modules' symbol tables.
  function fetchNames() {
    var asked = top('bytes', 4000).concat(top('calls', 200)).concat(top('leakBytes', 200));
    asked = Array.from(new Set(asked)).filter(function (i) { return view.sites[i].module; });
    if (!asked.length) return;
    var lines = asked.map(function (i) { var s = view.sites[i]; return s.module.path + ' ' + s.offset.toString(16); });
    var body = new URLSearchParams({ names: lines.join('\n') }).toString();
    var mine = view;
    fetch('heap', { method: 'POST', body: body, headers: { 'Content-Type': 'application/x-www-form-urlencoded' } })
      .then(function (r) { return r.ok ? r.json() : null; })
      .then(function (names) {
        if (!names || mine !== view) return;
        asked.forEach(function (i, k) { if (typeof names[k] === 'string') view.sites[i].name = names[k]; });
        drawSummary();
        section.dataset.named = 'yes';
      }).catch(function () { section.dataset.named = 'no'; });
  }

  function show(title, buffer) {
    section = document.getElementById('recorded');
    if (!section) {
      section = el('section');
      section.id = 'recorded';
      var form = document.getElementById('run');
      form.parentNode.insertBefore(section, form.nextSibling);
    }
    section.textContent = '';
    section.appendChild(el('h2', null, 'Recorded: ' + title));
    ['explorer', 'static-steps'].forEach(function (id) { var e = document.getElementById(id); if (e) e.hidden = true; });
    document.querySelectorAll('.step-title, h2:not(#recorded h2)').forEach(function (h) { if (h.textContent === 'The heap after each call') h.hidden = true; });
    // Reading, building and drawing are tasks of their own, so that the page answers between
    // them; a recording opened meanwhile wins.
    var mine = ++opening, rec = null;
    view = null;
    section.dataset.state = 'reading';
    function refused(err) {
      var p = el('p', 'error', 'This recording is refused: ' + err.message + '.');
      p.setAttribute('role', 'alert');
      section.appendChild(p);
      section.dataset.state = 'refused';
    }
    function then(task) {
      setTimeout(function () {
        if (mine !== opening) return;
        try { task(); } catch (err) { refused(err); }
      }, 0);
    }
    then(function () {
      rec = read(buffer);
      then(function () {
        view = build(rec);
        then(function () { present(title); });
      });
    });
  }

  function present(title) {
    top('bytes', PALETTE.length).forEach(function (i, k) { view.sites[i].colour = PALETTE[k]; });
    if (view.program) section.firstChild.textContent = 'Recorded: ' + base(view.program) + ', from ' + title;
    var grid = el('div', 'tl-grid');
    var pictures = el('div', 'tl-pictures');
    pictures.appendChild(el('canvas', 'live'));
    var bars = el('canvas', 'bars');
    bars.setAttribute('role', 'img');
    bars.setAttribute('aria-label', 'Every block as a bar from its allocation to its free, by size');
    pictures.appendChild(bars);
    pictures.appendChild(el('p', 'tl-axis', 'call 1 \u2192 call ' + view.steps + ' (time runs left to right; a bar\u2019s height band is its size)'));
    pictures.appendChild(el('p', 'tl-legend'));
    grid.appendChild(pictures);
    grid.appendChild(el('div', 'tl-summary'));
    section.appendChild(grid);
    highlight = -1;
    drawSummary();
    var mine = opening;
    setTimeout(function () {
      if (mine !== opening) return;
      drawTimeline();
      section.dataset.state = 'shown';
      section.dataset.drawnAt = String(Math.round(performance.now()));
    }, 0);
    section.addEventListener('click', function (e) {
      var r = e.target.closest('[data-site]');
      if (!r) return;
      var s = Number(r.dataset.site);
      highlight = highlight === s ? -1 : s;
      drawTimeline();
    });
    fetchNames();
  }

  window.addEventListener('resize', function () { if (view && section && section.isConnected) drawTimeline(); });

  // make explore TRACE=FILE: the page at /heap?trace opens the server's recording.
  if (/[?&]trace(=|&|$)/.test(location.search)) {
    document.addEventListener('DOMContentLoaded', function () {
      fetch('heap?trace=raw').then(function (r) {
        if (!/octet-stream/.test(r.headers.get('Content-Type') || ''))
          return r.text().then(function (t) { throw new Error(t.trim()); });
        return r.arrayBuffer();
      }).then(function (b) { served = true; show('the server\u2019s recording', b); })
        .catch(function (err) {
          var p = el('p', 'error', err.message);
          p.setAttribute('role', 'alert');
          var form = document.getElementById('run');
          form.parentNode.insertBefore(p, form.nextSibling);
        });
    });
  }

  return { isRecording: isRecording, open: function (title, buffer) { served = false; show(title, buffer); } };
})();
