// The heap explorer's reader of a program's recording (MYMALLOC_TRACE=FILE, docs/heaprun.md),
// run as a Worker (GET heap?worker=recording) so that a million calls leave the page's main
// thread free: it reads the file's bytes, checks them record by record as heaptrace does, builds
// the blocks over time and the summary, and sends the page what it draws, the bars' figures in
// typed arrays handed over without copying. It keeps the calls for the course's trace that the
// replay asks for. The server puts the recording's rules (TRACE: its layout, kinds and limits,
// from the C++ headers that heaptrace reads them from) before this file.
//
// Messages in:  {open: Blob}                    out: {view} or {error: "record N: why"}
//               {script: {limit, ask}}          out: {script: text, ask}
'use strict';
var RECORD = TRACE.record, PATH_MAX = TRACE.pathMax, KINDS = TRACE.kinds;
var MALLOC = TRACE.malloc, FREE = TRACE.free, REALLOC = TRACE.realloc, CALLOC = TRACE.calloc;
var LAST_CALL = TRACE.lastCall, MODULE = TRACE.module, EXEC = TRACE.exec, THREAD = TRACE.thread;
var EXTRA = TRACE.extra, FORKED = TRACE.forked;
var TWO32 = 4294967296;
// The limits are powers of two at or past 2^32: a record's high word is checked against them.
var SEQ_LIMIT_HI = TRACE.seqLimit / TWO32, ADDRESS_LIMIT_HI = TRACE.addressLimit / TWO32;
var BLOCK_LIMIT_HI = TRACE.blockLimit / TWO32;
var SITES_NAMED = 4000, SITES_LISTED = 200, SITES_SHOWN = 10, PALETTE_SIZE = 12;

function refuse(record, why) { throw new Error('record ' + record + ': ' + why); }
function hex(n) { return '0x' + n.toString(16); }

// Reads the file: its header, modules and calls, each checked as heaptrace checks them.
function read(buffer) {
  var dv = new DataView(buffer), count = Math.floor(buffer.byteLength / RECORD);
  if (buffer.byteLength < RECORD) refuse(0, buffer.byteLength + ' bytes: too short for the header');
  if (new TextDecoder().decode(new Uint8Array(buffer, 0, 8)) !== TRACE.magic) refuse(0, 'not a MYMALLOC_TRACE recording');
  function u32(o) { return dv.getUint32(o, true); }
  function hi(o) { return dv.getUint32(o + 4, true); }
  function u64(o) { return dv.getUint32(o, true) + dv.getUint32(o + 4, true) * TWO32; }
  if (u32(8) !== TRACE.version) refuse(0, 'version ' + u32(8) + '; this reader knows ' + TRACE.version);
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
      if (i + 1 >= count) { rec.cut += (count - i) * RECORD; break; }  // the file ends between its records: the cut
      if (kindAt(i + 1) !== EXTRA) refuse(i + 1, 'not the second record of the one before');
      x = o + RECORD;
    }
    if (kind === MODULE) {
      var length = u64(x + 8), parts = Math.ceil(length / RECORD);
      if (length === 0 || length > PATH_MAX) refuse(i, "a module's path of " + length + ' bytes (1 to ' + PATH_MAX + ')');
      if (i + 1 + parts >= count) { rec.cut += (count - i) * RECORD; break; }  // the file ends inside its path: the cut
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
  for (var k = at + 1; k < calls.length && k < at + TRACE.raceWindow; k++) {
    var c = calls[k];
    if (c.kind === REALLOC && c.given === address && c.before < calls[at].seq) {
      calls.splice(k, 1);
      calls.splice(at, 0, c);
      return true;
    }
  }
  return false;
}

function sizeBand(size) { return size <= 1 ? 0 : Math.ceil(Math.log2(size)); }

// The last program's calls as blocks over time, the sites that made them, and the figures.
function build(rec) {
  var calls = rec.calls, first = 0;
  for (var e = 0; e < calls.length; e++) if (calls[e].kind === EXEC) first = e + 1;
  var held = first > 0 ? false : rec.forked;
  var v = { rec: rec, first: first, start: [], end: [], size: [], site: [], made: [], sites: [], live: [], steps: 0,
    kinds: new Array(LAST_CALL + 1).fill(0), refused: 0, inherited: 0, peak: 0, peakAt: 0,
    hist: new Array(64).fill(0), leaks: 0, leakBytes: 0, program: null };
  var siteOf = new AddressTable(), live = new AddressTable(), freed = new AddressTable(), liveBytes = 0;
  function site(caller) {
    var s = siteOf.get(caller);
    if (s < 0) {
      s = v.sites.length;
      siteOf.set(caller, s);
      v.sites.push({ address: caller, firstSeq: 0, calls: 0, blocks: 0, bytes: 0, leaks: 0, leakBytes: 0 });
    }
    return s;
  }
  function begin(c, size) {
    var b = v.start.length, s = site(c.caller);
    v.start.push(v.steps); v.end.push(-1); v.size.push(size); v.site.push(s); v.made.push(c.record);
    v.sites[s].blocks++;
    v.sites[s].bytes += size;
    live.set(c.result, b);
    freed.remove(c.result);
    liveBytes += size;
    if (liveBytes > v.peak) { v.peak = liveBytes; v.peakAt = v.steps; }
    v.hist[sizeBand(size)]++;
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
    if (fresh && live.get(c.result) >= 0)
      refuse(c.record, 'a block at ' + hex(c.result) + ' returned while record ' + v.made[live.get(c.result)] + '\'s block is there');
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
  v.modules = rec.modules.slice().sort(function (a, b) { return a.seq - b.seq; });
  if (v.modules.length) v.program = v.modules[0].path;
  return v;
}

// A site's module: the one recorded last before the site's first call that holds it, or
// failing that the first recorded after; null if none holds it.
function moduleOf(v, s) {
  var found = null;
  for (var m = 0; m < v.modules.length; m++) {
    var mod = v.modules[m];
    if (found && mod.seq > s.firstSeq) break;
    if (s.address >= mod.lo && s.address < mod.hi) found = mod;
  }
  return found;
}

// The recording's first calls (of its last program) as the course's allocation trace, as
// heaptrace --script writes it: an ID per block, kept through realloc; a request the classic
// allocator refuses is written to be shown refused, and its block's later free left out (a
// realloc of it becomes an "a" line).
function courseScript(v, limit) {
  var calls = v.rec.calls, ids = new AddressTable(), lines = [], next = 0;
  function refusedOnClassic(n) { return n === 0 || n > TRACE.largestRequest ? 1 : 0; }
  for (var k = v.first; k < calls.length && lines.length < limit; k++) {
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

// Lanes within each size band (a power of two), packed greedily so that bars overlap only
// where the band is full; large blocks on top.
function layout(v, height) {
  var lo = 64, hi = 0, n = v.start.length;
  for (var b = 0; b < n; b++) {
    var band = sizeBand(v.size[b]);
    if (band < lo) lo = band;
    if (band > hi) hi = band;
  }
  if (n === 0) { lo = 4; hi = 5; }
  var bands = hi - lo + 1, bandHeight = Math.max(8, Math.floor(height / bands));
  var lanes = Math.max(1, Math.floor((bandHeight - 2) / 2)), ends = [];
  for (var k = 0; k < bands; k++) ends.push(new Float64Array(lanes).fill(-1));
  var y = new Float32Array(n);
  for (b = 0; b < n; b++) {
    var bd = sizeBand(v.size[b]) - lo;
    var e = ends[bd], stop = v.end[b] < 0 ? Infinity : v.end[b], lane = -1, least = 0;
    for (var l = 0; l < lanes; l++) {
      if (e[l] <= v.start[b]) { lane = l; break; }
      if (e[l] < e[least]) least = l;
    }
    if (lane < 0) lane = least;
    e[lane] = stop;
    y[b] = (hi - lo - bd) * bandHeight + 1 + lane * 2;
  }
  return { lo: lo, hi: hi, bandHeight: bandHeight, y: y, height: bands * bandHeight };
}

// The sites with the most of key, most first: indices into v.sites.
function top(v, key, n) {
  var ids = [];
  for (var i = 0; i < v.sites.length; i++) if (v.sites[i][key] > 0) ids.push(i);
  return ids.sort(function (a, b) { return v.sites[b][key] - v.sites[a][key] || a - b; }).slice(0, n);
}

// What the page draws: the figures; only the sites it lists, colours or asks the names of, the
// ones with the most bytes first (the rest are "other"); and the bars in typed arrays, ordered by
// site so that each site's bars are drawn in one colour, a run of `order` from groups[s + 1] to
// groups[s + 2] (s = -1: other).
function pack(v) {
  var r = v.rec, byBytes = top(v, 'bytes', SITES_NAMED), byCalls = top(v, 'calls', SITES_LISTED);
  var byLeaks = top(v, 'leakBytes', SITES_LISTED);
  var kept = Array.from(new Set(byBytes.concat(byCalls, byLeaks)));
  var index = new Int32Array(v.sites.length).fill(-1);  // a site's place in the page's list
  var sites = kept.map(function (i, k) {
    var s = v.sites[i], mod = moduleOf(v, s);
    index[i] = k;
    return { address: s.address, calls: s.calls, blocks: s.blocks, bytes: s.bytes, leaks: s.leaks,
      leakBytes: s.leakBytes, offset: mod ? s.address - mod.bias : s.address,
      module: mod ? mod.path : null, name: null };
  });
  function local(ids) { return ids.map(function (i) { return index[i]; }); }
  var n = v.start.length, site = new Int32Array(n), groups = new Int32Array(sites.length + 2);
  for (var b = 0; b < n; b++) {
    site[b] = index[v.site[b]];
    groups[site[b] + 2]++;
  }
  for (var g = 1; g < groups.length; g++) groups[g] += groups[g - 1];  // a counting sort
  var order = new Int32Array(n), fill = groups.slice();
  for (b = 0; b < n; b++) order[fill[site[b] + 1]++] = b;
  var kinds = [];
  for (var kd = 1; kd <= LAST_CALL; kd++) if (v.kinds[kd]) kinds.push([KINDS[kd], v.kinds[kd]]);
  var lay = layout(v, Math.min(480, Math.max(240, n / 40)));
  var view = { pid: r.pid, forked: r.forked, cut: r.cut, threads: r.threads, program: v.program,
    steps: v.steps, kinds: kinds, refused: v.refused, inherited: v.inherited, peak: v.peak,
    peakAt: v.peakAt, hist: v.hist, leaks: v.leaks, leakBytes: v.leakBytes, sites: sites,
    top: { bytes: local(byBytes.slice(0, SITES_SHOWN)), calls: local(byCalls.slice(0, SITES_SHOWN)),
      leakBytes: local(byLeaks.slice(0, SITES_SHOWN)) },
    palette: local(byBytes.slice(0, PALETTE_SIZE)),
    named: local(kept).filter(function (k) { return sites[k].module !== null; }),
    layout: { lo: lay.lo, hi: lay.hi, bandHeight: lay.bandHeight, height: lay.height },
    bars: { start: Int32Array.from(v.start), end: Int32Array.from(v.end), y: lay.y, site: site,
      order: order, groups: groups },
    live: Float64Array.from(v.live) };
  var bars = view.bars;
  return { view: view, transfer: [bars.start.buffer, bars.end.buffer, bars.y.buffer, bars.site.buffer,
    bars.order.buffer, bars.groups.buffer, view.live.buffer] };
}

var built = null;
self.onmessage = function (e) {
  var m = e.data;
  if (m.open) {
    built = null;
    m.open.arrayBuffer().then(function (buffer) {
      built = build(read(buffer));
      var p = pack(built);
      self.postMessage({ view: p.view }, p.transfer);
    }).catch(function (err) {
      built = null;
      self.postMessage({ error: err.message });
    });
  } else if (m.script && built) {
    self.postMessage({ script: courseScript(built, m.script.limit), ask: m.script.ask });
  }
};
