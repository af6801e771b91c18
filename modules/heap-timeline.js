// A program's recording (MYMALLOC_TRACE=FILE, docs/heaprun.md) in the heap explorer: read and
// summarised off the page's main thread by a Worker (heap-recording.js, which checks it record by
// record), and drawn here as a timeline (every block a bar from its malloc to its free, by size,
// coloured by the code that allocated it; blocks never freed reach the end as leaks) with a
// summary beside it. The server names the call sites from the modules' symbol tables (heaptrace
// --names), after the picture is up. TRACE, the recording's rules, comes from the server.
'use strict';
window.heapTimeline = (function () {
  var PALETTE = ['#1d7fbf', '#ff9f1c', '#2a9d8f', '#8338ec', '#e9c46a', '#06d6a0', '#b5179e',
    '#3a86ff', '#8d6e63', '#ff006e', '#588157', '#f4a261'];
  var OTHER = '#b8b8b8', FADED = '#dedede', LEAK = '#d62828';
  var REPLAY_MAX = TRACE.replayMax;
  var DRAW_SLICE_MS = 25;  // a part of the timeline drawn in one task, then the page answers

  function isRecording(buffer) {
    if (buffer.byteLength < 8) return false;
    return new TextDecoder().decode(new Uint8Array(buffer, 0, 8)) === TRACE.magic;
  }
  function hex(n) { return '0x' + n.toString(16); }

  // Puts the recording's first calls into the script form and runs them on the classic
  // allocator: the explorer then shows the heap after each, with its sentences.
  function replayOnClassic() {
    if (served || view.steps > REPLAY_MAX) { replayOnServer(); return; }
    scriptOf(REPLAY_MAX, function (text) {
      var form = document.getElementById('run');
      form.elements.script.value = text;
      if (form.requestSubmit) form.requestSubmit();
      else form.submit();
    });
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
    var text = '', at = 0;
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
    scriptOf(REPLAY_LONG, function (script) { text = script; send(); });
  }

  function bytesText(n) {
    if (n < 1024) return n + ' B';
    var units = ['KiB', 'MiB', 'GiB', 'TiB'], u = -1;
    do { n /= 1024; u++; } while (n >= 1024 && u < units.length - 1);
    return (n < 10 ? n.toFixed(1) : Math.round(n)) + ' ' + units[u];
  }
  function base(path) { return path.slice(path.lastIndexOf('/') + 1); }
  function siteLabel(s) {
    var where = s.module ? base(s.module) + '+' + hex(s.offset) : hex(s.address);
    return s.name ? s.name + ' (' + where + ')' : where;
  }
  function el(tag, cls, text) {
    var e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  // ---- The view ----

  var view = null, section = null, highlight = -1, served = false, opening = 0, drawing = 0;
  var worker = null, scriptOf = null;  // the recording's reader, and its course's trace: scriptOf(limit, done)

  function colourOf(s) { return s >= 0 && view.sites[s].colour || OTHER; }

  // The timeline: the size bands, the bars site by site (a part per task, so that a million
  // bars never hold the page), the leaks' ends, and the live bytes over time. done runs once
  // the last part is drawn; a drawing begun later stops this one. The section's data-drawn
  // says whether the last drawing begun is whole.
  function drawTimeline(done) {
    section.dataset.drawn = 'no';
    var canvas = section.querySelector('canvas.bars');
    var curve = section.querySelector('canvas.live');
    var width = Math.max(200, canvas.parentElement.clientWidth);
    var axis = 58, leakStrip = 8, plot = width - axis - leakStrip;
    var lay = view.layout, bars = view.bars;
    var ratio = window.devicePixelRatio || 1;
    canvas.width = width * ratio; canvas.height = lay.height * ratio;
    canvas.style.height = lay.height + 'px';
    var ctx = canvas.getContext('2d');
    ctx.scale(ratio, ratio);
    ctx.font = '10px system-ui, sans-serif';
    for (var band = lay.lo; band <= lay.hi; band++) {
      var top = (lay.hi - band) * lay.bandHeight;
      ctx.fillStyle = (band % 2) ? '#fafafa' : '#f0f0f0';
      ctx.fillRect(axis, top, plot + leakStrip, lay.bandHeight);
      if (lay.bandHeight >= 10 || band % 2 === 0) {
        ctx.fillStyle = '#555';
        ctx.fillText('\u2264 ' + bytesText(Math.pow(2, band)), 2, top + Math.min(lay.bandHeight, 12) - 1);
      }
    }
    var scale = plot / Math.max(1, view.steps);
    // Runs of bars by site, each in its colour: the other sites first, then the listed ones from
    // the fewest bytes to the most, so that the coloured sites' bars stand on top (faded, if a
    // site is highlighted, whose bars come last); then the leaks' ends.
    var runs = [];
    function run(s, colour, leaks) { runs.push({ from: bars.groups[s + 1], to: bars.groups[s + 2], colour: colour, leaks: leaks }); }
    run(-1, highlight >= 0 ? FADED : OTHER, false);
    for (var s = view.sites.length - 1; s >= 0; s--) if (s !== highlight) run(s, highlight >= 0 ? FADED : colourOf(s), false);
    if (highlight >= 0) run(highlight, colourOf(highlight), false);
    if (highlight >= 0) run(highlight, LEAK, true);
    else runs.push({ from: 0, to: bars.order.length, colour: LEAK, leaks: true });
    var mine = ++drawing, r = 0, k = runs.length ? runs[0].from : 0, live = false;
    function part() {
      if (mine !== drawing || !canvas.isConnected) return;
      if (!live) {  // the curve first, in a task of its own: it reads every call's figure
        drawLive(curve, width, axis, plot, ratio);
        live = true;
        setTimeout(part, 0);
        return;
      }
      var began = performance.now();
      for (; r < runs.length; r++, k = r < runs.length ? runs[r].from : 0) {
        var u = runs[r];
        ctx.fillStyle = u.colour;
        for (; k < u.to; k++) {
          if ((k & 4095) === 0 && performance.now() - began > DRAW_SLICE_MS) { setTimeout(part, 0); return; }
          var b = bars.order[k], end = bars.end[b];
          if (u.leaks) {
            if (end < 0) ctx.fillRect(axis + plot + 2, bars.y[b] - 1, leakStrip - 2, 3);
            continue;
          }
          var x0 = axis + bars.start[b] * scale;
          var x1 = end < 0 ? axis + plot + leakStrip : axis + end * scale;
          ctx.fillRect(x0, bars.y[b], Math.max(1, x1 - x0), 1.6);
        }
      }
      section.dataset.drawn = 'yes';
      if (done) done();
    }
    part();
  }

  // Live bytes over time, each pixel the most of the calls it stands for, the peak marked.
  function drawLive(curve, width, axis, plot, ratio) {
    var h = 60, scale = plot / Math.max(1, view.steps);
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

  function drawSummary() {
    var box = section.querySelector('.tl-summary');
    box.textContent = '';
    var dl = el('dl', 'figures');
    function row(k, val) { dl.appendChild(el('dt', null, k)); dl.appendChild(el('dd', null, val)); }
    row('Program', (view.program || '?') + ', process ' + view.pid + (view.forked ? ' (a child of fork)' : ''));
    row('Calls', view.steps + ' from ' + view.threads + ' thread' + (view.threads === 1 ? '' : 's'));
    row('By kind', view.kinds.map(function (k) { return k[0] + ' ' + k[1]; }).join(', ') || 'none');
    row('Peak live', bytesText(view.peak) + ' (' + view.peak + ' bytes) at call ' + (view.peakAt + 1));
    row('Never freed', view.leaks + ' block' + (view.leaks === 1 ? '' : 's') + ', ' + bytesText(view.leakBytes));
    if (view.refused) row('Refused', view.refused + ' call' + (view.refused === 1 ? '' : 's') + ' returned null');
    if (view.inherited) row('Inherited', view.inherited + ' blocks from before the recording freed');
    if (view.cut) row('Cut short', view.cut + ' bytes after the last whole call (the program was stopped)');
    box.appendChild(dl);
    function siteRows(ids, cells) { return ids.map(function (i) { return { site: i, cells: cells(view.sites[i]) }; }); }
    box.appendChild(table('Leaks by call site', siteRows(view.top.leakBytes, function (s) { return [siteLabel(s), s.leaks, bytesText(s.leakBytes)]; }), ['site', 'blocks', 'bytes']));
    box.appendChild(table('Call sites with the most bytes', siteRows(view.top.bytes, function (s) { return [siteLabel(s), bytesText(s.bytes), s.blocks]; }), ['site', 'bytes', 'blocks']));
    box.appendChild(table('Call sites with the most calls', siteRows(view.top.calls, function (s) { return [siteLabel(s), s.calls]; }), ['site', 'calls']));
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
    var asked = view.named;
    if (!asked.length) return;
    var lines = asked.map(function (i) { var s = view.sites[i]; return s.module + ' ' + s.offset.toString(16); });
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

  function show(title, file) {
    section = document.getElementById('recorded');
    if (!section) {
      section = el('section');
      section.id = 'recorded';
      var form = document.getElementById('run');
      form.parentNode.insertBefore(section, form.nextSibling);
      section.addEventListener('click', function (e) {  // a site tapped, or tapped again
        var r = e.target.closest('[data-site]');
        if (!r || !view) return;
        var s = Number(r.dataset.site);
        highlight = highlight === s ? -1 : s;
        drawTimeline();
      });
    }
    section.textContent = '';
    section.appendChild(el('h2', null, 'Recorded: ' + title));
    ['explorer', 'static-steps'].forEach(function (id) { var e = document.getElementById(id); if (e) e.hidden = true; });
    document.querySelectorAll('.step-title, h2:not(#recorded h2)').forEach(function (h) { if (h.textContent === 'The heap after each call') h.hidden = true; });
    // The Worker reads and builds the recording, and the page draws what it sends back; a
    // recording opened meanwhile wins.
    var mine = ++opening, asked = [];  // asked: the callers waiting for a course's trace
    view = null;
    drawing++;
    section.dataset.state = 'reading';
    function refused(why) {
      var p = el('p', 'error', 'This recording is refused: ' + why + '.');
      p.setAttribute('role', 'alert');
      section.appendChild(p);
      section.dataset.state = 'refused';
    }
    if (worker) worker.terminate();
    var w = null;
    try { w = new Worker('heap?worker=recording'); } catch (err) { refused('this browser cannot start its reader (' + err.message + ')'); return; }
    worker = w;
    w.onmessage = function (e) {
      var m = e.data;
      if (mine !== opening) return;
      if (m.error !== undefined) refused(m.error);
      else if (m.view) { view = m.view; present(title); }
      else if (m.script !== undefined && asked[m.ask]) { var done = asked[m.ask]; asked[m.ask] = null; done(m.script); }
    };
    w.onerror = function (e) {
      e.preventDefault();
      if (mine === opening && !view) refused('it could not be read (' + (e.message || 'the reader did not start') + ')');
    };
    scriptOf = function (limit, done) { asked.push(done); w.postMessage({ script: { limit: limit, ask: asked.length - 1 } }); };
    w.postMessage({ open: file });
  }

  function present(title) {
    view.palette.forEach(function (i, k) { view.sites[i].colour = PALETTE[k]; });
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
      drawTimeline(function () {
        section.dataset.state = 'shown';
        section.dataset.drawnAt = String(Math.round(performance.now()));
      });
    }, 0);
    fetchNames();
  }

  window.addEventListener('resize', function () { if (view && section && section.isConnected) drawTimeline(); });

  // make explore TRACE=FILE: the page at /heap?trace opens the server's recording.
  if (/[?&]trace(=|&|$)/.test(location.search)) {
    document.addEventListener('DOMContentLoaded', function () {
      fetch('heap?trace=raw').then(function (r) {
        if (!/octet-stream/.test(r.headers.get('Content-Type') || ''))
          return r.text().then(function (t) { throw new Error(t.trim()); });
        return r.blob();
      }).then(function (b) { served = true; show('the server\u2019s recording', b); })
        .catch(function (err) {
          var p = el('p', 'error', err.message);
          p.setAttribute('role', 'alert');
          var form = document.getElementById('run');
          form.parentNode.insertBefore(p, form.nextSibling);
        });
    });
  }

  // open(title, file): file a Blob (a File) that isRecording has passed.
  return { isRecording: isRecording, open: function (title, file) { served = false; show(title, file); } };
})();
