// The heap explorer's script. heaprun's output, as it stands in the page (docs/heaprun.md has
// the format), is read by readRun; replay draws a run one step at a time into an element of its
// own: the heap's chunks and blocks, the free list, the figures, and a sentence per call made
// here from the step's facts and the layout's constants. Another view can read the same data,
// or hand its own run to replay: both are in window.heapExplorer.
'use strict';
window.heapExplorer = (function () {
  var MALLOC = 0, CALLOC = 1, REALLOC = 2, FREE = 3, FREE_AGAIN = 4, OVERFLOW = 5, WRITE = 6;
  var USED = 0, FREE_BLOCK = 1, FENCE = 2, BROKEN = 3, SENTINEL = -1;
  var kSavedEvery = 256;  // steps between the saved heaps that going back starts from
  var kSavedBlocks = 4096;  // a heap of n times more blocks is saved n times less often
  var kVerbs = ['malloc', 'calloc', 'realloc', 'free', 'free!', 'overflow', 'write'];
  var kSignals = { 4: 'SIGILL (an illegal instruction)', 6: 'SIGABRT (the process aborted)',
    7: 'SIGBUS (a bad memory access)', 8: 'SIGFPE', 9: 'SIGKILL', 11: 'SIGSEGV (a bad memory access)',
    24: 'SIGXCPU (its time ran out)' };

  // heaprun's lines: the header, a step a line, perhaps a stop. Reading ends at the first line
  // that is none of these (a run cut short ends with half a line, which the page leaves out).
  function readRun(text) {
    var run = { layout: null, names: [], steps: [], stop: null, unreadable: false };
    var lines = text.split('\n');
    for (var i = 0; i < lines.length; i++) {
      if (lines[i] === '') continue;
      var line;
      try { line = JSON.parse(lines[i]); } catch (e) { run.unreadable = true; break; }
      if (!run.layout && line && line.layout) { run.layout = line.layout; run.names = line.names; }
      else if (run.layout && Array.isArray(line) && Array.isArray(line[0])) run.steps.push(line);
      else if (run.layout && line && line.stop) run.stop = line.stop;
      else { run.unreadable = true; break; }
    }
    return run;
  }

  // The blocks of a step's list: used 0,offset,size,left,name; free 1,offset,size,left,next,prev;
  // fencepost 2,offset,left; a broken header 3,offset,word,left,span. From the block at index
  // from, count blocks at most (all of them if not given); returns the index after the last
  // block read, or -1 once the list ends in a block of no known state.
  function eachBlock(flat, layout, fn, from, count) {
    for (var i = from || 0, n = 0; i < flat.length && !(n++ >= count);) {
      var s = flat[i], b = { state: s, offset: flat[i + 1] };
      if (s === USED) { b.size = flat[i + 2]; b.left = flat[i + 3]; b.name = flat[i + 4]; i += 5; }
      else if (s === FREE_BLOCK) {
        b.size = flat[i + 2]; b.left = flat[i + 3]; b.next = flat[i + 4]; b.prev = flat[i + 5]; i += 6;
      } else if (s === FENCE) { b.size = layout.fencepostSize; b.left = flat[i + 2]; i += 3; }
      else if (s === BROKEN) { b.word = flat[i + 2]; b.left = flat[i + 3]; b.size = flat[i + 4]; i += 5; }
      else return -1;
      fn(b);
    }
    return i;
  }

  function el(tag, cls, text) {
    var e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }
  function plural(n, word) { return n + ' ' + word + (n === 1 ? '' : 's'); }

  var kSkeleton =
    '<nav id="stepper"><button type="button" id="prev">\u25c0 Previous</button>' +
    '<button type="button" id="play">\u25b6 Play</button>' +
    '<button type="button" id="next">Next \u25b6</button>' +
    '<input type="range" id="seek" min="0" value="0" aria-label="Step">' +
    '<span id="position" aria-live="polite"></span></nav>' +
    '<p id="stopped" class="problem" hidden></p>' +
    '<h3 id="call"></h3><p id="say" class="say"></p>' +
    '<p id="message" class="message" hidden></p>' +
    '<div id="picture" class="picture"></div>' +
    '<div id="header" class="header-words" hidden></div>' +
    '<p class="legend"><span class="used"></span>in use: name and size' +
    '<span class="free"></span>free: #place in the free list, size' +
    '<span class="fence"></span>fencepost<span class="broken"></span>a header no block can ' +
    'have<span class="changed"></span>header words changed by this call. Tap a block for its ' +
    'header.</p>' +
    '<p class="options"><label>Widths: <select id="widths"><option value="log">grow with the ' +
    'size\'s logarithm</option><option value="linear">to scale (a chunk is the page\'s width)' +
    '</option></select></label> <label><input type="checkbox" id="arrows" checked> arrows along ' +
    '<code>_nextFree</code></label></p>' +
    '<dl id="figures" class="figures"></dl>' +
    '<p class="freelist"><code id="freelist"></code></p>';

  // Draws run into root, one step at a time, with buttons, keys, a slider and play; script
  // gives the script's lines, for the line a run stopped at.
  function replay(root, run, script) {
    var L = run.layout, steps = run.steps, names = run.names;
    var q = function (id) { return root.querySelector('#' + id); };
    root.textContent = '';
    if (run.unreadable) root.appendChild(el('p', 'problem', 'Part of heaprun\'s output could not be read; the steps before it are shown.'));
    if (steps.length === 0) {
      if (!run.stop) root.appendChild(el('p', 'problem', 'The script makes no calls: there is nothing to draw.'));
      if (!run.stop) return;
    }
    root.insertAdjacentHTML('beforeend', '<h2>The heap after each call</h2>' + kSkeleton);
    var mib = L.chunkSize / 1048576 + ' MiB';
    function nameOf(i) { return i < 0 ? 'null' : names[i]; }
    function namesOf(n) { return Array.isArray(n) ? n.map(nameOf).join(', ') : n < 0 ? '' : names[n]; }
    function callText(c) {
      var k = c[0];
      if (k === MALLOC) return (c[1] >= 0 ? names[c[1]] + ' = ' : '') + 'malloc ' + c[2];
      if (k === CALLOC) return (c[1] >= 0 ? names[c[1]] + ' = ' : '') + 'calloc ' + c[2] + ' ' + c[3];
      if (k === REALLOC) return (c[1] >= 0 ? names[c[1]] + ' = ' : '') + 'realloc ' + nameOf(c[2]) + ' ' + c[3];
      return kVerbs[k] + ' ' + nameOf(c[1]) + (k >= OVERFLOW && Number(c[2]) > 0 ? ' ' + c[2] : '');
    }

    // The heap at step `at` (0: before the first call), by offset; `prior` holds what the last
    // step applied replaced (its blocks before the call).
    var blocks = new Map(), prior = new Map(), at = 0;
    var saved = new Map([[0, new Map()]]);  // the heap at every kSavedEvery-th step, and those the server kept
    function apply(s, keep) {
      var step = steps[s - 1];
      prior = new Map();
      step[4].forEach(function (o) { if (keep) prior.set(o, blocks.get(o)); blocks.delete(o); });
      eachBlock(step[3], L, function (b) { if (keep && !prior.has(b.offset)) prior.set(b.offset, blocks.get(b.offset)); blocks.set(b.offset, b); });
    }
    // The heap a step restarts from, made ready: the saved heap read from the one the server
    // kept, if it is not read yet, and the copy that the steps are applied to. A heap of more
    // than kSavedBlocks blocks is made ready in slices of kReadySlice blocks, each a task of its
    // own, so that the page answers meanwhile; then() follows unless another step was asked for
    // since. Without then, all of it is done at once.
    var ready = null, readying = 0, kReadySlice = 40000;
    function makeReady(k, then) {
      var mine = ++readying, flat = saved.has(k) ? null : run.kept.get(k);
      var heap = flat ? new Map() : null, copy = new Map(), from = 0;
      var entries = flat ? null : saved.get(k).entries();
      function slice() {
        if (mine !== readying) return;  // another step is asked for now
        var count = then ? kReadySlice : Infinity, done = false;
        if (flat) {
          from = eachBlock(flat, L, function (b) { heap.set(b.offset, b); copy.set(b.offset, b); }, from, count);
          done = from < 0 || from >= flat.length;
        } else {
          for (var n = 0; n < count && !done; n++) {
            var e = entries.next();
            if (e.done) done = true;
            else copy.set(e.value[0], e.value[1]);
          }
        }
        if (!done) {
          setTimeout(slice, 0);
          return;
        }
        if (flat) saved.set(k, heap);
        ready = { at: k, heap: copy };
        if (then) then();
      }
      slice();
    }
    // About how many blocks step k's saved or kept heap holds (a kept one by its length: five
    // numbers a block in use, six a free one).
    function sizeOf(k) {
      return saved.has(k) ? saved.get(k).size : run.kept.get(k).length / 5;
    }
    function loaded(from, to) {
      for (var s = from; s <= to; s++) if (!steps[s - 1]) return false;
      return true;
    }
    // The step before target whose heap is saved (or kept by the server) and from which the
    // loaded steps lead to target, or -1 (a kept run whose window is still to come).
    function baseFor(target) {
      if (target > 0 && !steps[target - 1]) return -1;
      for (var s = Math.max(0, target - 1); ; s--) {
        if (saved.has(s) || (run.kept && run.kept.has(s))) return s;
        if (!steps[s - 1]) return -1;
      }
    }
    // Whether going to target starts again from a saved heap rather than going on from at.
    function restarts(target) {
      return !(target > at && loaded(at + 1, target)) && !(target === at && target !== 0);
    }
    function goTo(target) {
      if (target === at && target !== 0) return;
      if (restarts(target)) {
        var k = baseFor(target);
        if (!(ready && ready.at === k)) makeReady(k, null);
        blocks = ready.heap;
        ready = null;
        at = k;
      }
      while (at < target) {
        apply(++at, at === target);
        // A saved heap is a copy: one of n times kSavedBlocks blocks is saved n times less
        // often, so that copying costs at most about 16 blocks a step applied. A kept run saves
        // none larger: the server kept heaps close enough, and copying 400,000 blocks at once
        // would hold the page for a tenth of a second.
        var every = kSavedEvery * Math.max(1, Math.ceil(blocks.size / kSavedBlocks));
        var large = run.kept && blocks.size > kSavedBlocks;
        if (at % every === 0 && !saved.has(at) && !large) saved.set(at, new Map(blocks));
      }
    }

    // The free list as the allocator would follow it: from the step's own walk when the heap is
    // damaged, else from the head along _nextFree. Each entry {at, block}; end says how it ends.
    // Along _nextFree the places are noted only once the list has run longer than the heap has
    // blocks: then it comes back on itself, and is walked again to find where.
    function freeList(step) {
      var links = step && step[9];
      var list = walkFree(step, links, links ? new Map() : null);
      return list.end === 'lost' && list.length > blocks.size ? walkFree(step, links, new Map()) : list;
    }
    function walkFree(step, links, seen) {
      var list = [], end = 'sentinel';
      var p = step ? (links ? links[0] : step[5]) : SENTINEL;
      for (var i = 0; p !== SENTINEL && p !== undefined; i++) {
        if (typeof p === 'string') { list.push({ at: p, block: null }); end = 'outside'; break; }
        if (seen && seen.has(p)) { end = 'cycle'; list.back = seen.get(p); break; }
        var b = blocks.get(p) || null;
        list.push({ at: p, block: b });
        if (seen) seen.set(p, list.length);
        if (links) p = links[i + 1];
        else if (b && b.state === FREE_BLOCK && list.length <= blocks.size) p = b.next;
        else { end = 'lost'; break; }
      }
      if (links && p === undefined && end === 'sentinel') end = 'bound';
      list.end = end;
      return list;
    }

    // The header words a fault's bytes [from, to) overwrote, as words of the heap before it.
    function wordsHit(from, to) {
      var hit = [];
      prior.forEach(function (b) { if (b) note(b); });
      blocks.forEach(function (b) { if (!prior.has(b.offset)) note(b); });
      function note(b) {
        var words = ['_blockSize', '_leftSize'].concat(b.state === FREE_BLOCK ? ['_nextFree', '_prevFree'] : []);
        var w = words.filter(function (_, k) { var o = b.offset + 8 * k; return o + 8 > from && o < to; });
        if (w.length) hit.push(w.join(w.length === 2 ? ' and ' : ', ') + ' of the ' + (b.state === FREE_BLOCK ? 'free ' : b.state === FENCE ? '' : 'used ') + (b.state === FENCE ? 'fencepost' : 'block') + ' at ' + b.offset);
      }
      return hit;
    }

    // What the call did, in words, from the step's facts and the heaps before and after it.
    function saying(step, list) {
      var c = step[0], k = c[0], res = step[1], f = step[7], text = '';
      var prevHeap = at > 1 && steps[at - 2] ? steps[at - 2][6] : 0, heap = step[6];
      var setUp = prevHeap === 0 && heap > 0, grew = heap > prevHeap;
      var freed = k === REALLOC ? f[3] : k === FREE || k === FREE_AGAIN ? f[0] : -1;
      var old = freed >= 0 ? prior.get(freed) : null;
      if (k <= REALLOC) {
        var length = k === CALLOC ? BigInt(c[2]) * BigInt(c[3]) : BigInt(k === MALLOC ? c[2] : c[3]);
        var hasLength = length < (BigInt(1) << BigInt(64));
        text = kVerbs[k] + (k === CALLOC && hasLength ? ' of ' + length + ' bytes' + (res !== null ? ' (zeroed)' : '') : ' ' + (k === CALLOC ? c[2] : length));
        if (res === null) {
          text += !hasLength || step[2] === L.ENOMEM
            ? ' \u2192 null, ENOMEM: beyond the largest request (' + L.largestRequest + ' bytes); no chunk is taken for it.'
            : length === BigInt(0) ? ' \u2192 null: a request of 0 bytes gets no block; errno is untouched.'
              : ' \u2192 null: the heap could not grow (the allocator\'s message says so).';
          if (k === REALLOC && freed < 0 && c[2] >= 0) text += ' The old block stays as it was.';
          if (setUp) text += ' The heap was set up all the same: one ' + mib + ' chunk from sbrk.';
        } else if (typeof res === 'string') {
          text += ' \u2192 ' + res + ', a pointer outside the heap.';
        } else {
          var block = blocks.get(res - L.headerSize), place = f[0];
          text += ' \u2192 a ' + (block ? block.size : '?') + '-byte block at ' + (res - L.headerSize);
          if (setUp) text += '. The first call set the heap up: one ' + mib + ' chunk from sbrk, with one free block of ' + f[2] + ' bytes. ';
          else if (grew) text += '. No free block was large enough (first fit passed over all ' + (place - 1) + '), so a new ' + mib + ' chunk was taken. ';
          else if (place > 0) text += '. First fit took free block #' + place + ' (' + f[2] + ' bytes at ' + f[1] + '), passing over ' + (place === 1 ? 'none. ' : (place - 1) + ' too small. ');
          var fitWas = prior.get(f[1]);
          if (place > 0 && fitWas && fitWas.state === USED) text += 'That block was in use already (' + (namesOf(fitWas.name) || 'no name holds it') + '): the free list still led to it. ';
          else text += '. It lies in no free block of the list as it stood before the call. ';
          if (place > 0) {
            var remainder = res - L.headerSize - f[1];
            text += remainder === 0 ? 'It was handed out whole.' : 'The block was carved from its high end; ' + remainder + ' bytes stay free in its place.';
          }
          if (block && Array.isArray(block.name)) text += ' One block is now held by ' + namesOf(block.name) + ' at once.';
          if (k === REALLOC && old) text += ' The first ' + Math.min(Number(length), old.size - L.headerSize) + ' bytes were copied, then the old block was freed.';
        }
      } else if (k === FREE && freed < 0) {
        text = 'free of null does nothing.';
      } else if (k === OVERFLOW || k === WRITE) {
        var from = f[0], to = f[0] + Number(f[1]), hit = wordsHit(from, to), who = names[c[1]];
        text = callText(c) + ' \u2192 ' + plural(Number(f[1]), 'byte') + ' of \'A\' written ' +
          (k === OVERFLOW ? 'past the end of ' + who + '\'s payload, at ' : 'into ' + who + '\'s block, at ') + from + ' to ' + (to - 1) +
          (hit.length ? ': they overwrote ' + hit.join('; ') + '.' : ': no header word lies there, so the heap looks the same.');
      }
      if (k === FREE_AGAIN) {
        text = callText(c) + ' \u2192 ' + (old && old.state === FREE_BLOCK ? 'the block at ' + freed + ' was free already, and free ran on it again. ' : '');
      }
      if (old && k !== OVERFLOW && k !== WRITE) {
        var into = null;
        blocks.forEach(function (b) { if (b.state === FREE_BLOCK && b.offset <= freed && freed < b.offset + b.size) into = b; });
        var intoPlace = into ? list.findIndex(function (e) { return e.at === into.offset; }) + 1 : 0;
        if (into && (k !== FREE_AGAIN || old.state !== FREE_BLOCK)) {
          var left = into.offset < freed, right = into.offset + into.size > freed + old.size;
          text += (k === FREE ? 'The ' : ' The ') + old.size + '-byte block at ' + freed +
            (left && right ? ' merged with both free neighbours into ' : left ? ' merged with its free left neighbour into '
              : right ? ' merged with its free right neighbour into ' : ' had no free neighbour: it is ') +
            'a free block of ' + into.size + ' bytes at ' + into.offset + ', #' + intoPlace + ' in the free list.';
        }
      }
      return text.trim() + damage(step, list);
    }

    // What is wrong with a damaged heap, in words: the list's end, and the broken headers.
    function damage(step, list) {
      if (!step[9]) return '';
      var text = '';
      if (list.end === 'cycle') text += ' The free list comes back on itself: after #' + list.length + ' it leads to #' + list.back + ' again, so a search along it never ends.';
      if (list.end === 'outside') text += ' The free list leads out of the heap: #' + (list.length - 1) + '\'s _nextFree reads ' + list[list.length - 1].at + '.';
      list.forEach(function (e, i) {
        if (e.block && e.block.state === USED) text += ' #' + (i + 1) + ' in the free list is a block in use (' + (namesOf(e.block.name) || 'no name holds it') + ').';
      });
      var listed = new Set(list.map(function (e) { return e.at; })), below = null;
      Array.from(blocks.values()).sort(function (a, b) { return a.offset - b.offset; }).forEach(function (b) {
        if (below && below.state !== BROKEN && b.state !== BROKEN && b.offset === below.offset + below.size &&
            b.left !== (below.state === FENCE ? 0 : below.size) && (b.state !== FENCE || b.left !== 0)) {
          text += ' _leftSize at ' + b.offset + ' reads ' + b.left + ', but the block below has ' + below.size + ' bytes.';
        }
        below = b;
      });
      blocks.forEach(function (b) {
        var end = b.offset - b.offset % L.chunkSize + L.chunkSize - L.fencepostSize;
        if (b.state === BROKEN) {
          text += ' The header at ' + b.offset + ' reads _blockSize ' + b.word + (typeof b.word === 'string' || b.offset + b.word - b.word % 2 > end
            ? ': a size that runs past the end of its chunk.' : ', which no block here can have.');
        }
        if (b.state === FREE_BLOCK && !listed.has(b.offset)) text += ' The free block at ' + b.offset + ' (' + b.size + ' bytes) is off the list: first fit can no longer find it.';
      });
      return text;
    }

    var picture = q('picture'), widths = q('widths'), arrows = q('arrows'), header = q('header');
    var chosen = null;  // the offset whose header is shown
    var drawing = 0, kSlice = 1000, kDrawnMax = 3000;  // the picture being drawn; blocks a slice draws, and at most

    function link(v) {
      if (v === SENTINEL) return 'the sentinel (_freeListSentinel)';
      if (typeof v === 'string') return v + ' (outside the heap)';
      return 'offset ' + v + (blocks.has(v) ? '' : ' (no block starts there)');
    }
    function showHeader(b) {
      chosen = b ? b.offset : null;
      header.hidden = !b;
      header.textContent = '';
      if (!b) return;
      var title = b.state === BROKEN ? 'A header no block can have' : b.state === FREE_BLOCK ? 'Free block'
        : b.name >= 0 || Array.isArray(b.name) ? 'Block held by ' + namesOf(b.name) : 'Block in use, no name holds it';
      header.appendChild(el('h4', null, title + ' at offset ' + b.offset));
      var dl = el('dl');
      function row(k, v) { dl.appendChild(el('dt', null, k)); dl.appendChild(el('dd', null, v)); }
      if (b.state === BROKEN) row('_blockSize', b.word + ': no block of its chunk can be this size');
      else row('_blockSize', (b.size + (b.state === FREE_BLOCK ? 0 : 1)) + ' = ' + b.size + ' bytes' + (b.state === FREE_BLOCK ? ', allocated bit clear (free)' : ' + 1, the allocated bit'));
      row('_leftSize', b.left + (b.left === 0 ? ' (the first block of its chunk)' : typeof b.left === 'number' ? ' (the block below: offset ' + (b.offset - b.left) + ')' : ''));
      if (b.state === FREE_BLOCK) {
        row('_nextFree', link(b.next));
        row('_prevFree', link(b.prev));
      } else if (b.state === USED) {
        row('payload', (b.size - L.headerSize) + ' bytes from offset ' + (b.offset + L.headerSize));
      }
      header.appendChild(dl);
    }

    function draw() {
      var sorted = Array.from(blocks.values()).sort(function (a, b) { return a.offset - b.offset; });
      var step = at > 0 ? steps[at - 1] : null;
      var changed = new Set();
      if (step) eachBlock(step[3], L, function (b) { changed.add(b.offset); });
      var list = freeList(step), places = new Map();
      list.forEach(function (e, i) { if (!places.has(e.at)) places.set(e.at, i + 1); });
      var linear = widths.value === 'linear', fresh = L.chunkSize - 2 * L.fencepostSize;
      picture.textContent = '';
      picture.classList.toggle('linear', linear);
      if (sorted.length === 0) picture.appendChild(el('p', null, 'No chunk yet: the heap is set up by the first call.'));
      // A heap of more than kDrawnMax blocks is drawn around the first block the call changed.
      var chunk = 0;
      if (sorted.length > kDrawnMax) {
        var around = Math.max(0, sorted.findIndex(function (b) { return changed.has(b.offset); }));
        var first = Math.max(0, Math.min(sorted.length - kDrawnMax, around - kDrawnMax / 2));
        for (var c = 0; c < first; c++) if (sorted[c].offset % L.chunkSize === 0) chunk++;
        picture.appendChild(el('p', 'problem', 'The heap has ' + sorted.length + ' blocks: the ' + kDrawnMax +
          ' around this call\u2019s are drawn (blocks ' + (first + 1) + ' to ' + (first + kDrawnMax) + ' in address order).'));
        sorted = sorted.slice(first, first + kDrawnMax);
      }
      // The blocks are drawn in slices, each a task of its own, so that the page answers
      // meanwhile; picture.dataset.drawn is "all" once every block is in.
      var bar = null, drawn = new Map(), mine = ++drawing;
      picture.dataset.drawn = 'part';
      function slice(from) {
        if (mine !== drawing) return;  // another step is drawn now
        var end = Math.min(sorted.length, from + kSlice);
        for (var i = from; i < end; i++) {
          var b = sorted[i];
          if (bar === null || b.offset % L.chunkSize === 0) {
            var box = el('div', 'chunk');
            if (bar === null && b.offset % L.chunkSize !== 0) chunk = Math.max(0, chunk - 1);  // drawn from its middle
            box.appendChild(el('div', 'chunk-name', 'chunk ' + chunk++ + ' at offset ' + (b.offset - b.offset % L.chunkSize)));
            bar = el('div', 'bar');
            box.appendChild(bar);
            picture.appendChild(box);
          }
          var kind = ['used', 'free', 'fence', 'broken'][b.state];
          var d = el('div', 'block ' + kind + (changed.has(b.offset) ? ' changed' : ''));
          d.dataset.offset = b.offset;
          d.dataset.size = b.size;
          if (b.state !== FENCE) {
            if (linear) d.style.flexBasis = (b.size / fresh * 100) + '%';
            else d.style.setProperty('--lg', Math.max(0, Math.log2(b.size / L.minBlockSize)).toFixed(2));
            d.tabIndex = 0;
            var place = places.has(b.offset) ? '#' + places.get(b.offset) : b.state === FREE_BLOCK ? 'off the list' : '';
            var label = b.state === FREE_BLOCK ? place : b.state === BROKEN ? '?' : namesOf(b.name) + (place ? ' ' + place : '');
            d.appendChild(el('span', 'name', label));
            d.appendChild(el('span', 'size', b.state === BROKEN ? String(b.word) : String(b.size)));
            d.title = (b.state === FREE_BLOCK ? 'free, ' + place + ' in the free list' : b.state === BROKEN ? 'a header that reads ' + b.word
              : namesOf(b.name) || 'in use, no name holds it') + ': ' + b.size + ' bytes at ' + b.offset;
          }
          if (b.offset === chosen) d.classList.add('chosen');
          bar.appendChild(d);
          drawn.set(b.offset, d);
        }
        if (end < sorted.length) {
          setTimeout(function () { slice(end); }, 0);
          return;
        }
        var order = list.filter(function (e) { return drawn.has(e.at); }).map(function (e) { return e.at; });
        if (arrows.checked && order.length > 1 && order.length <= 400) drawArrows(order, drawn);
        picture.dataset.drawn = 'all';
      }
      slice(0);
      showHeader(chosen !== null && blocks.has(chosen) ? blocks.get(chosen) : null);
      listing = { list: list, shown: 0 };
      listMore();
      return list;
    }

    // The free list in words. A long one is written kListed entries at a time, the next ones
    // once its box is scrolled near their end: laying out a list of 100,000 entries at once
    // holds the page for half a second.
    var listBox = root.querySelector('.freelist'), listing = null, kListed = 3000;
    function listMore() {
      var list = listing.list, from = listing.shown, end = Math.min(list.length, from + kListed);
      var text = list.slice(from, end).map(function (e) {
        return typeof e.at === 'string' ? '[' + e.at + ': outside the heap]'
          : !e.block ? '[offset:' + e.at + ', no block starts there]'
            : '[offset:' + e.at + ',size:' + e.block.size + (e.block.state === USED ? ', in use' : '') + ']';
      }).join('->');
      listing.shown = end;
      if (end === list.length) {
        if (list.end === 'cycle') text += '->(back to #' + list.back + ')';
        if (list.end === 'bound') text += '->\u2026';
        listing = null;
      }
      if (from === 0) q('freelist').textContent = 'FreeList: ' + text;
      else q('freelist').appendChild(document.createTextNode('->' + text));
    }
    listBox.addEventListener('scroll', function () {
      if (listing && listBox.scrollTop + 2 * listBox.clientHeight >= listBox.scrollHeight) listMore();
    });

    // Arrows from each free block to the next along _nextFree, over the drawn blocks.
    function drawArrows(order, drawn) {
      var ns = 'http://www.w3.org/2000/svg';
      var svg = document.createElementNS(ns, 'svg');
      svg.setAttribute('class', 'links');
      svg.setAttribute('width', picture.scrollWidth);
      svg.setAttribute('height', picture.scrollHeight);
      var box = picture.getBoundingClientRect();
      for (var i = 0; i + 1 < order.length; i++) {
        var a = drawn.get(order[i]).getBoundingClientRect(), b = drawn.get(order[i + 1]).getBoundingClientRect();
        var x1 = a.left + a.width * 0.62 - box.left, y1 = a.top - box.top + 2;
        var x2 = b.left + b.width * 0.38 - box.left, y2 = b.top - box.top + 2;
        var lift = Math.min(26, 8 + Math.abs(x2 - x1) / 6);
        var path = document.createElementNS(ns, 'path');
        path.setAttribute('d', 'M' + x1 + ',' + y1 + ' C' + x1 + ',' + (y1 - lift) + ' ' + x2 + ',' + (y2 - lift) + ' ' + x2 + ',' + y2);
        path.setAttribute('class', 'link');
        path.setAttribute('marker-end', 'url(#arrowhead)');
        svg.appendChild(path);
      }
      picture.appendChild(svg);
    }

    // The figures of the heap drawn, counted from its blocks.
    function showFigures(step) {
      var dl = q('figures');
      dl.textContent = '';
      function row(k, v) { dl.appendChild(el('dt', null, k)); dl.appendChild(el('dd', null, v)); }
      if (!step) { row('Heap', '0 bytes: not set up'); return; }
      var used = 0, usedBytes = 0, free = 0, freeBytes = 0, largest = 0;
      blocks.forEach(function (b) {
        if (b.state === USED) { used++; usedBytes += b.size; }
        if (b.state === FREE_BLOCK) { free++; freeBytes += b.size; largest = Math.max(largest, b.size); }
      });
      var heap = step[6], outside = freeBytes - largest;
      row('Heap', heap + ' bytes, ' + plural(heap / L.chunkSize, 'chunk'));
      row('In use', plural(used, 'block') + ', ' + usedBytes + ' bytes (' + (usedBytes - L.headerSize * used) + ' of payload)');
      row('Free', freeBytes + ' bytes in ' + plural(free, 'block'));
      row('Largest free', largest + ' bytes');
      row('Outside the largest', outside + ' bytes (' + (freeBytes ? (100 * outside / freeBytes).toFixed(1) : '0.0') + '% of free memory: external fragmentation)');
    }

    if (run.stop) {
      var s = run.stop, line = script ? (script[s.line - 1] || '').replace(/#.*/, '').trim() : '';
      var checked = s.why === 'signal' && /^MyMalloc: /.test(s.message);
      var why = checked ? 'the heap check (MYMALLOC_CHECK) found the fault and stopped the program: ' + s.message.trim()
        : s.why === 'signal' ? 'the allocator crashed: ' + (kSignals[s.detail] || 'signal ' + s.detail) + '.'
        : s.why === 'time' ? 'the call did not return within ' + s.detail / 1000 + ' seconds: the allocator is going round and round (a cycle in the free list?).'
          : s.why === 'outside' ? 'the bytes it would write lie outside the heap, and heaprun does not write there.'
            : s.why === 'garbled' ? 'what the damaged process reported could not be read.' : 'the damaged process ended with status ' + s.detail + '.';
      q('stopped').textContent = 'The run stopped at line ' + s.line + (line ? ' (' + line + ')' : '') + ': ' + why +
        (s.message && !checked ? ' The allocator wrote: ' + s.message.trim() : '') + ' The steps before it are shown.';
      q('stopped').hidden = false;
    }
    if (run.cut) {  // a kept run the server cut short
      q('stopped').textContent = 'The replay stopped after step ' + steps.length + ': ' + run.cut.replace(/\.$/, '') + '. The steps before it are shown.';
      q('stopped').hidden = false;
    }
    var prev = q('prev'), next = q('next'), play = q('play'), seek = q('seek'), position = q('position');
    seek.max = steps.length;
    var timer = null;
    function show(i) {
      i = Math.max(0, Math.min(steps.length, i));
      readying++;  // what was being made ready is not needed now
      if (run.load && baseFor(i) < 0 && !(i > at && loaded(at + 1, i))) {  // its window first
        position.textContent = 'Step ' + i + ' of ' + steps.length + ': fetching\u2026';
        run.load(i, function () { show(i); }, function (why) { position.textContent = why; });
        return;
      }
      if (restarts(i)) {
        var k = baseFor(i);
        if (!(ready && ready.at === k) && sizeOf(k) > kSavedBlocks) {
          makeReady(k, function () { show(i); });
          return;
        }
      }
      goTo(i);
      var step = at > 0 ? steps[at - 1] : null;
      position.textContent = 'Step ' + at + ' of ' + steps.length;
      q('call').textContent = step ? 'Step ' + at + ': ' + callText(step[0]) : 'Step 0: the empty heap, before the first call';
      var message = q('message');
      message.hidden = !step || !step[8];
      message.textContent = step && step[8] ? 'The allocator wrote: ' + step[8] : '';
      showFigures(step);
      var list = draw();
      q('say').textContent = step ? saying(step, list) : 'No chunk has been taken yet: the first call of malloc, calloc or realloc sets the heap up.';
      prev.disabled = at === 0;
      next.disabled = at === steps.length;
      seek.value = at;
      if (at === steps.length) stop();
    }
    function stop() {
      if (timer !== null) clearInterval(timer);
      timer = null;
      play.textContent = '\u25b6 Play';
    }
    play.addEventListener('click', function () {
      if (timer !== null) { stop(); return; }
      if (at === steps.length) show(0);
      play.textContent = '\u23f8 Pause';
      timer = setInterval(function () { show(at + 1); }, steps.length > 200 ? 60 : 600);
    });
    prev.addEventListener('click', function () { stop(); show(at - 1); });
    next.addEventListener('click', function () { stop(); show(at + 1); });
    seek.addEventListener('input', function () { stop(); show(Number(seek.value)); });
    widths.addEventListener('change', draw);
    arrows.addEventListener('change', draw);
    window.addEventListener('resize', function () { if (arrows.checked) draw(); });
    picture.addEventListener('click', function (e) {
      var d = e.target.closest('.block');
      if (!d || d.classList.contains('fence')) return;
      var offset = Number(d.dataset.offset);
      showHeader(chosen === offset ? null : blocks.get(offset));
      picture.querySelectorAll('.chosen').forEach(function (c) { c.classList.remove('chosen'); });
      if (chosen !== null) d.classList.add('chosen');
    });
    picture.addEventListener('keydown', function (e) {
      if (e.key === 'Enter' || e.key === ' ') { e.preventDefault(); e.target.click(); }
    });
    document.addEventListener('keydown', function (e) {
      var tag = e.target.tagName;
      if (tag === 'TEXTAREA' || tag === 'INPUT' || tag === 'SELECT' || e.altKey || e.ctrlKey || e.metaKey) return;
      if (e.key === 'ArrowLeft' || e.key === 'ArrowUp') show(at - 1);
      else if (e.key === 'ArrowRight' || e.key === 'ArrowDown') show(at + 1);
      else if (e.key === 'Home') show(0);
      else if (e.key === 'End') show(steps.length);
      else return;
      stop();
      e.preventDefault();
    });
    show(steps.length > 0 ? 1 : 0);
  }

  // A run kept on the server (heap?run=ID), fetched by window: run.steps has the length of the
  // whole run and holds the steps fetched so far, run.kept the heaps the server kept among
  // them; run.load(step, done, failed) fetches the window that step is drawn from. done(run)
  // once the first window is in.
  var kWindow = 2048, kWindowsKept = 8;
  function keptRun(id, total, done, failed) {
    var run = { layout: null, names: new Proxy([], { get: function (t, k) { return /^\d+$/.test(k) ? k : t[k]; } }),
      steps: [], stop: null, unreadable: false, kept: new Map(), load: load };
    run.steps.length = total;
    var windows = [], busy = false;
    function take(text) {
      var lines = text.split('\n'), s = 0, first = 0, last = 0;
      for (var i = 0; i < lines.length; i++) {
        if (lines[i] === '') continue;
        var line = JSON.parse(lines[i]);
        if (line.error) throw new Error(line.error);
        if (line.layout) run.layout = line.layout;
        else if (line.window !== undefined) { s = first = line.window; run.cut = line.why || null; }
        else if (line.keep !== undefined) run.kept.set(line.keep, line.blocks);
        else if (Array.isArray(line)) { run.steps[s - 1] = line; last = s++; }
      }
      windows.push([first, last]);
      if (windows.length > kWindowsKept) {  // the oldest window goes, but not the heaps saved
        var w = windows.shift();
        for (var k = w[0]; k <= w[1]; k++) delete run.steps[k - 1];
      }
    }
    // One window is fetched at a time; what comes asked meanwhile waits, and only the last
    // of it is shown (show asks again if its window is still missing).
    var pending = null;
    function load(step, ok, bad) {
      pending = { ok: ok, bad: bad };
      if (busy) return;
      busy = true;
      var asked = pending;
      fetch('heap?run=' + id + '&from=' + step + '&count=' + kWindow).then(function (r) { return r.text(); })
        .then(function (text) {
          take(text);
          var next = pending;
          busy = false;
          pending = null;
          next.ok(run);
        }).catch(function (err) { busy = false; pending = null; asked.bad('The steps could not be fetched: ' + err.message); });
    }
    load(1, done, failed);
  }

  return { readRun: readRun, replay: replay, keptRun: keptRun };
})();

// The form: the examples menu, the script's size before it is sent, a script read from a file;
// then the run in the page, if there is one.
(function () {
  var menu = document.getElementById('example'), check = document.getElementById('check');
  if (menu) {
    menu.addEventListener('change', function () {
      if (!menu.value) return;
      if (check && check.checked) {  // the example runs under the check too
        var keep = document.createElement('input');
        keep.type = 'hidden';
        keep.name = 'check';
        keep.value = '1';
        menu.form.appendChild(keep);
      }
      menu.form.submit();
    });
  }
  var form = document.getElementById('run');
  var bodyMax = Number(form.dataset.bodyMax);  // the server's limit, written by the module
  form.addEventListener('submit', function (e) {
    var text = form.elements.script.value.replace(/\r\n|\r|\n/g, '\r\n');
    var body = new URLSearchParams({ script: text }).toString();
    var note = document.getElementById('toolong');
    if (body.length <= bodyMax) { note.hidden = true; return; }
    e.preventDefault();
    note.textContent = 'This script is too long to send: encoded, it makes a request body of ' +
        body.length + ' bytes, and the server takes ' + bodyMax + ' at most. Shorten it by about ' +
        Math.ceil((body.length - bodyMax) * 100 / body.length) + '%.';
    note.hidden = false;
  });
  var file = document.getElementById('file');
  if (file) {
    file.addEventListener('change', function () {
      if (!file.files.length) return;
      var chosen = file.files[0];
      // A recording goes to its reader whole, unread here: it may hold a million calls.
      chosen.slice(0, 8).arrayBuffer().then(function (magic) {
        if (window.heapTimeline && window.heapTimeline.isRecording(magic)) window.heapTimeline.open(chosen.name, chosen);
        else return chosen.text().then(function (text) { form.elements.script.value = text; });
      });
    });
  }
  var data = document.getElementById('heap-data'), root = document.getElementById('explorer');
  if (data && root) {
    window.heapExplorer.replay(root, window.heapExplorer.readRun(data.textContent),
      form.elements.script.value.split('\n'));
  }
})();
