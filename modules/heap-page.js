// The heap explorer's script: draws one step at a time from the run's compact data (each step's
// changed blocks), steps with buttons, keys, a slider and play, shows a block's header words on
// a click, and stops scripts too long for the server's request body before they are sent.
'use strict';
(function () {
  var menu = document.getElementById('example');
  if (menu) menu.addEventListener('change', function () { if (menu.value) menu.form.submit(); });
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
      chosen.arrayBuffer().then(function (bytes) {
        if (window.heapTimeline && window.heapTimeline.isRecording(bytes)) window.heapTimeline.open(chosen.name, bytes);
        else form.elements.script.value = new TextDecoder().decode(bytes);
      });
    });
  }

  var data = document.getElementById('heap-data');
  var root = document.getElementById('explorer');
  if (!data || !root) return;
  var run = JSON.parse(data.textContent);
  var steps = run.steps, names = run.names, sayings = run.sayings;
  // A step's saying: its template with the step's numbers put back in.
  function saying(step) {
    if (typeof step[1] === 'string') return step[1];
    var k = 0;
    return sayings[step[1]].replace(/\x01/g, function () { return String(step[2][k++]); });
  }
  var USED = 0, FREE = 1, FENCE = 2, NONE = -1;
  var kChecksEvery = 256;  // steps between the saved states that going back starts from

  // The heap at step `at` (0: before the first call): blocks by offset.
  var blocks = new Map(), at = 0;
  var saved = [new Map()];  // saved[k]: the heap at step k * kChecksEvery
  function apply(s) {
    var step = steps[s - 1], changed = step[3], gone = step[4];
    for (var g = 0; g < gone.length; g++) blocks.delete(gone[g]);
    for (var i = 0; i < changed.length; i += 7) {
      blocks.set(changed[i], {
        offset: changed[i], size: changed[i + 1], state: changed[i + 2], left: changed[i + 3],
        next: changed[i + 4], prev: changed[i + 5],
        name: changed[i + 6] < 0 ? null : names[changed[i + 6]],
      });
    }
  }
  function goTo(target) {
    if (target < at) {
      var k = Math.floor(target / kChecksEvery);
      blocks = new Map(saved[k]);
      at = k * kChecksEvery;
    }
    while (at < target) {
      apply(++at);
      if (at % kChecksEvery === 0 && !saved[at / kChecksEvery]) saved[at / kChecksEvery] = new Map(blocks);
    }
  }

  function el(tag, cls, text) {
    var e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }
  function plural(n, word) { return n + ' ' + word + (n === 1 ? '' : 's'); }
  function link(offset) { return offset === NONE ? 'the sentinel (_freeListSentinel)' : 'offset ' + offset; }

  var picture = document.getElementById('picture');
  var widths = document.getElementById('widths'), arrows = document.getElementById('arrows');
  var header = document.getElementById('header');
  var chosen = null;  // the offset whose header is shown

  function showHeader(b) {
    chosen = b ? b.offset : null;
    header.hidden = !b;
    header.textContent = '';
    if (!b) return;
    var title = b.state === FREE ? 'Free block' : b.name ? 'Block held by ' + b.name : 'Block in use, no name holds it';
    header.appendChild(el('h4', null, title + ' at offset ' + b.offset));
    var dl = el('dl');
    function row(k, v) { dl.appendChild(el('dt', null, k)); dl.appendChild(el('dd', null, v)); }
    var word = b.size + (b.state === FREE ? 0 : 1);
    row('_blockSize', word + ' = ' + b.size + ' bytes' + (b.state === FREE ? ', allocated bit clear (free)' : ' + 1, the allocated bit'));
    row('_leftSize', b.left + (b.left === 0 ? ' (the first block of its chunk)' : ' (the block below: offset ' + (b.offset - b.left) + ')'));
    if (b.state === FREE) {
      row('_nextFree', link(b.next));
      row('_prevFree', link(b.prev));
    } else {
      row('payload', (b.size - 16) + ' bytes from offset ' + (b.offset + 16));
    }
    header.appendChild(dl);
  }

  function draw() {
    var sorted = Array.from(blocks.values()).sort(function (a, b) { return a.offset - b.offset; });
    var step = at > 0 ? steps[at - 1] : null;
    var changed = new Set();
    if (step) for (var c = 0; c < step[3].length; c += 7) changed.add(step[3][c]);
    // Places in the free list, from the head along _nextFree.
    var places = new Map(), head = step ? step[5] : NONE, order = [];
    for (var p = head; p !== NONE && blocks.has(p) && order.length <= blocks.size; p = blocks.get(p).next) {
      order.push(p);
      places.set(p, order.length);
    }
    var linear = widths.value === 'linear';
    picture.textContent = '';
    picture.classList.toggle('linear', linear);
    if (sorted.length === 0) picture.appendChild(el('p', null, 'No chunk yet: the heap is set up by the first call.'));
    var bar = null, chunk = 0, inChunk = false, drawn = new Map();
    for (var i = 0; i < sorted.length; i++) {
      var b = sorted[i];
      if (b.state === FENCE && !inChunk) {
        var box = el('div', 'chunk');
        box.appendChild(el('div', 'chunk-name', 'chunk ' + chunk++ + ' at offset ' + b.offset));
        bar = el('div', 'bar');
        box.appendChild(bar);
        picture.appendChild(box);
      }
      var d = el('div', 'block ' + ['used', 'free', 'fence'][b.state] + (changed.has(b.offset) ? ' changed' : ''));
      d.dataset.offset = b.offset;
      d.dataset.size = b.size;
      if (b.state !== FENCE) {
        if (linear) d.style.flexBasis = (b.size / 2097120 * 100) + '%';
        else d.style.setProperty('--lg', Math.max(0, Math.log2(b.size / 32)).toFixed(2));
        d.tabIndex = 0;
        d.appendChild(el('span', 'name', b.state === FREE ? '#' + places.get(b.offset) : b.name || ''));
        d.appendChild(el('span', 'size', String(b.size)));
        d.title = (b.state === FREE ? 'free, #' + places.get(b.offset) + ' in the free list' : b.name || 'in use, no name holds it') +
            ': ' + b.size + ' bytes at ' + b.offset;
      }
      if (b.offset === chosen) d.classList.add('chosen');
      bar.appendChild(d);
      drawn.set(b.offset, d);
      if (b.state === FENCE) inChunk = !inChunk;
    }
    if (arrows.checked && order.length > 1 && order.length <= 400) drawArrows(order, drawn);
    showHeader(chosen !== null && blocks.has(chosen) ? blocks.get(chosen) : null);
    var list = order.map(function (o) { return '[offset:' + o + ',size:' + blocks.get(o).size + ']'; });
    document.getElementById('freelist').textContent = 'FreeList: ' + list.join('->');
  }

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
    var dl = document.getElementById('figures');
    dl.textContent = '';
    function row(k, v) { dl.appendChild(el('dt', null, k)); dl.appendChild(el('dd', null, v)); }
    if (!step) { row('Heap', '0 bytes: not set up'); return; }
    var used = 0, usedBytes = 0, free = 0, freeBytes = 0, largest = 0;
    blocks.forEach(function (b) {
      if (b.state === USED) { used++; usedBytes += b.size; }
      if (b.state === FREE) { free++; freeBytes += b.size; largest = Math.max(largest, b.size); }
    });
    var heap = step[6], outside = freeBytes - largest;
    row('Heap', heap + ' bytes, ' + plural(heap / 2097152, 'chunk'));
    row('In use', plural(used, 'block') + ', ' + usedBytes + ' bytes (' + (usedBytes - 16 * used) + ' of payload)');
    row('Free', freeBytes + ' bytes in ' + plural(free, 'block'));
    row('Largest free', largest + ' bytes');
    row('Outside the largest', outside + ' bytes (' + (freeBytes ? (100 * outside / freeBytes).toFixed(1) : '0.0') + '% of free memory: external fragmentation)');
  }

  var prev = document.getElementById('prev'), next = document.getElementById('next');
  var play = document.getElementById('play'), seek = document.getElementById('seek');
  var position = document.getElementById('position');
  var timer = null;
  function show(i) {
    goTo(Math.max(0, Math.min(steps.length, i)));
    var step = at > 0 ? steps[at - 1] : null;
    position.textContent = 'Step ' + at + ' of ' + steps.length;
    document.getElementById('call').textContent = step ? 'Step ' + at + ': ' + step[0] : 'Step 0: the empty heap, before the first call';
    document.getElementById('say').textContent = step ? saying(step) : 'No chunk has been taken yet: the first call of malloc, calloc or realloc sets the heap up.';
    var message = document.getElementById('message');
    message.hidden = !step || step[7] === null;
    message.textContent = step && step[7] !== null ? 'The allocator wrote: ' + step[7] : '';
    showFigures(step);
    draw();
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
    if (tag === 'TEXTAREA' || tag === 'INPUT' || tag === 'SELECT' || e.altKey || e.ctrlKey ||
        e.metaKey)
      return;
    if (e.key === 'ArrowLeft' || e.key === 'ArrowUp') show(at - 1);
    else if (e.key === 'ArrowRight' || e.key === 'ArrowDown') show(at + 1);
    else if (e.key === 'Home') show(0);
    else if (e.key === 'End') show(steps.length);
    else return;
    stop();
    e.preventDefault();
  });
  document.getElementById('static-steps').hidden = true;
  root.hidden = false;
  show(1);
})();
