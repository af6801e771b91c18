// A recorded program in the heap explorer, in headless Chromium: leak_loop (a C program built
// with -g that leaks in a loop) and trace_probe (three threads and a fork) are recorded with
// MYMALLOC_TRACE through the preload library; the server started with one of them opens it
// at /heap?trace, the file picker opens the other, and a damaged recording is refused with
// its record and reason. The timeline is drawn (its bars and the leaks' marks), the summary
// holds the program's figures, and the leak's call site is named by its function.
// The page reads a recording in a Worker (heap?worker=recording); its figures and its refusals
// are heaptrace's (--check), for these recordings, a million calls written here, and hostile
// files each breaking one rule.
// Usage: node heap-timeline.test.js MODHOST MODULE-DIR LIBMYMALLOC LEAK_LOOP TRACE_PROBE
// SCREENSHOT_DIR=dir also saves docs' picture of the timeline (heap-timeline.png).
'use strict';
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const {
  loadChromium, openServedPage, startModhost, stopModhost,
} = require('./harness');
const { Recording } = require('./recording');

const [modhost, moduleDir, lib, leakLoop, probe] = process.argv.slice(2);
const heaptrace = modhost && path.join(path.dirname(modhost), 'heaptrace');
if (!probe) {
  console.error('Usage: node heap-timeline.test.js MODHOST MODULE-DIR LIBMYMALLOC LEAK_LOOP TRACE_PROBE');
  process.exit(1);
}
const chromium = loadChromium();
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'heap-timeline-'));

function record(program, args, name) {
  const file = path.join(dir, name);
  execFileSync(program, args, {
    env: { ...process.env, LD_PRELOAD: lib, MYMALLOC_TRACE: file }, stdio: 'ignore', timeout: 60000,
  });
  return file;
}

let server, port, leakTrace, probeTrace;
test.before(async () => {
  leakTrace = record(leakLoop, [], 'leak.trace');
  probeTrace = record(probe, [dir], 'probe.trace');
  process.env.HEAP_TRACE = leakTrace;  // modhost, and the module it runs, inherit it
  ({ server, port } = await startModhost(modhost, moduleDir));
});
test.after(async () => {
  await stopModhost(server);
  fs.rmSync(dir, { recursive: true, force: true });
});

// A page at width; each recording it opens must be read by the module's Worker.
async function openPage(t, width) {
  const page = await openServedPage(t, chromium, port, { width, height: 900 });
  page.setDefaultTimeout(30000);
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  page.workers = [];
  page.on('worker', (w) => page.workers.push(new URL(w.url()).search));
  t.after(() => assert.deepEqual(errors, [], 'the page threw'));
  return page;
}

// heaptrace's verdict on a file: its figures, or its refusal ("record N: why").
function heaptraceCheck(file) {
  const r = spawnSync(heaptrace, ['--check', file], { encoding: 'utf8' });
  if (r.status === 2) return { refused: r.stderr.trim().replace(`heaptrace: ${file}: `, '') };
  assert.equal(r.status, 0, r.stderr);
  const m = /: process (\d+)( \(a child of fork\))?, (\d+) calls from (\d+ threads?), \d+ modules, (.*?)(?:, (\d+) blocks from before the recording freed)?, (\d+) blocks never freed(?:; cut short: (\d+) bytes after the last whole call)?$/.exec(r.stdout.trim());
  assert.ok(m, r.stdout);
  return { pid: m[1], forked: Boolean(m[2]), calls: m[3], threads: m[4], kinds: m[5], inherited: m[6], leaks: m[7], cut: m[8] };
}

// The page's summary holds heaptrace's figures for file, and a Worker read it.
async function sameFiguresAsHeaptrace(page, file) {
  const want = heaptraceCheck(file), f = await figures(page);
  assert.match(f.Program, new RegExp(`, process ${want.pid}${want.forked ? ' \\(a child of fork\\)' : ''}$`));
  assert.equal(f.Calls, `${want.calls} from ${want.threads}`);
  assert.equal(f['By kind'], want.kinds);
  assert.match(f['Never freed'], new RegExp(`^${want.leaks} blocks?, `));
  assert.equal(f.Inherited, want.inherited && `${want.inherited} blocks from before the recording freed`);
  assert.ok(page.workers.includes('?worker=recording'), `workers: ${page.workers}`);
}

// The summary as {label: text}.
async function figures(page) {
  return page.evaluate(() => {
    const out = {};
    document.querySelectorAll('#recorded .tl-summary dt').forEach((dt) => { out[dt.textContent] = dt.nextElementSibling.textContent; });
    return out;
  });
}

// Pixels of the timeline's canvas in a colour.
async function pixels(page, rgb) {
  return page.evaluate((c) => {
    const canvas = document.querySelector('#recorded canvas.bars');
    const d = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
    let n = 0;
    for (let i = 0; i < d.length; i += 4) if (d[i] === c[0] && d[i + 1] === c[1] && d[i + 2] === c[2]) n++;
    return n;
  }, rgb);
}

test('make explore TRACE=FILE: the leak in a loop, named by its function', { timeout: 120000 }, async (t) => {
  const page = await openPage(t, 1280);
  await page.goto(`http://127.0.0.1:${port}/heap?trace`);
  await page.waitForSelector('#recorded[data-state="shown"]');
  const drawnAt = Number(await page.getAttribute('#recorded', 'data-drawn-at'));
  console.log(`# ${leakTrace}: timeline and summary drawn ${drawnAt} ms after the page was asked for`);
  await sameFiguresAsHeaptrace(page, leakTrace);
  const f = await figures(page);
  assert.match(f.Program, new RegExp(`${path.basename(leakLoop)}, process \\d+$`));
  assert.equal(f.Calls, '100005 from 1 thread');  // 22,223 notes of two blocks, 11,112 copies, stdio's buffer
  assert.equal(f['By kind'], 'malloc 55559, free 44446');
  assert.match(f['Never freed'], /^11113 blocks, /);
  // Every block is a bar; the leaks' ends are marked in red at the right.
  assert.ok(await pixels(page, [0xd6, 0x28, 0x28]) > 100, 'no leak marks');
  assert.ok(await pixels(page, [0x1d, 0x7f, 0xbf]) > 1000, 'no bars of the site with the most bytes');
  // The sites are named from the program's symbol table: static functions included.
  await page.waitForSelector('#recorded[data-named="yes"]');
  const leaks = await page.locator('#recorded .tl-table:has(h4:text("Leaks by call site")) tr[data-site]').allInnerTexts();
  assert.match(leaks[0], new RegExp(`^remember \\(${path.basename(leakLoop)}\\+0x[0-9a-f]+\\)\\s+11112\\s+`));
  const most = await page.locator('#recorded .tl-table:has(h4:text("most calls")) td.site').allInnerTexts();
  assert.deepEqual(most.slice(0, 4).map((s) => s.split(' ')[0]).sort(),
    ['drop_note', 'drop_note', 'make_note', 'make_note']);
  // A site tapped: only its bars keep their colour.
  await page.locator('#recorded .tl-table:has(h4:text("Leaks by call site")) tr[data-site]').first().click();
  await page.waitForSelector('#recorded[data-drawn="yes"]');  // the bars are drawn in parts
  assert.equal(await pixels(page, [0x1d, 0x7f, 0xbf]) > 1000, true);
  if (process.env.SCREENSHOT_DIR) {
    await page.locator('#recorded .tl-table:has(h4:text("Leaks by call site")) tr[data-site]').first().click();
    await page.waitForSelector('#recorded[data-drawn="yes"]');
    await page.setViewportSize({ width: 1280, height: 1000 });
    await page.evaluate(() => window.scrollTo(0, document.getElementById('recorded').offsetTop - 8));
    await page.screenshot({ path: path.join(process.env.SCREENSHOT_DIR, 'heap-timeline.png') });
  }
});

test('the file picker opens a recording of threads and a fork; a damaged one is refused', { timeout: 120000 }, async (t) => {
  const page = await openPage(t, 390);
  await page.goto(`http://127.0.0.1:${port}/heap`);
  await page.setInputFiles('#file', probeTrace);
  await page.waitForSelector('#recorded[data-state="shown"]');
  await sameFiguresAsHeaptrace(page, probeTrace);
  const f = await figures(page);
  assert.match(f.Calls, /^\d+ from 3 threads$/);
  assert.match(f['By kind'], /malloc \d+, free \d+, realloc \d+, calloc \d+, aligned_alloc 1, memalign 1, posix_memalign 1/);
  assert.match(f['Never freed'], /^\d+ blocks?, /);
  assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 390), 'the page scrolls sideways');
  // Its replay on the classic allocator: the course's trace that heaptrace writes, run by heaprun
  // and drawn step by step; the 3 MiB block is more than a chunk and refused.
  const script = execFileSync(heaptrace, ['--script', probeTrace], { encoding: 'utf8' });
  await Promise.all([page.waitForNavigation({ timeout: 60000 }), page.click('#replay-recording')]);
  assert.equal((await page.inputValue('textarea[name="script"]')).replace(/\r\n/g, '\n'), script);
  const calls = script.split('\n').filter((l) => /^[arf] /.test(l));
  assert.equal(await page.locator('#position').innerText(), `Step 1 of ${calls.length}`);
  const big = calls.findIndex((l) => /^a \d+ 3145728$/.test(l)) + 1;
  await page.evaluate((n) => {
    const seek = document.getElementById('seek');
    seek.value = String(n);
    seek.dispatchEvent(new Event('input', { bubbles: true }));
  }, big);
  assert.match(await page.locator('#call').innerText(), new RegExp(`^Step ${big}: \\d+ = malloc 3145728`));
  assert.match(await page.locator('#say').innerText(), /null, ENOMEM: beyond the largest request/);

  // The child of fork recorded into a file of its own.
  const child = fs.readdirSync(dir).filter((n) => /^probe\.trace\.\d+$/.test(n));
  assert.equal(child.length, 1);
  await page.setInputFiles('#file', path.join(dir, child[0]));
  await page.waitForSelector('#recorded[data-state="shown"]');
  assert.match((await figures(page)).Program, /process \d+ \(a child of fork\)$/);
  await sameFiguresAsHeaptrace(page, path.join(dir, child[0]));

  // The recording and then a thread's record and a free of a block that was never allocated.
  const bytes = fs.readFileSync(probeTrace);
  const extra = Buffer.alloc(64);
  extra.writeBigUInt64LE(18n << 56n, 0);                 // a thread record
  extra.writeBigUInt64LE(7n, 8);
  extra.writeBigUInt64LE((2n << 56n) | (1n << 40n), 32);  // free, with a sequence no call took
  extra.writeBigUInt64LE(0x10n, 40);
  const damaged = Buffer.concat([bytes.subarray(0, bytes.length - bytes.length % 32), extra]);
  const record = damaged.length / 32 - 1;
  const file = path.join(dir, 'damaged.trace');
  fs.writeFileSync(file, damaged);
  await page.setInputFiles('#file', file);
  await page.waitForSelector('#recorded[data-state="refused"]');
  assert.equal(await page.locator('#recorded .error').innerText(),
    `This recording is refused: record ${record}: free of 0x10, which no call returned.`);
  const garbage = path.join(dir, 'garbage.trace');
  fs.writeFileSync(garbage, Buffer.concat([Buffer.from('MYMTRACE'), Buffer.alloc(100, 0xff)]));
  await page.setInputFiles('#file', garbage);
  await page.waitForFunction(() => /record 0: version/.test(document.querySelector('#recorded .error')?.textContent || ''));
});

test('a million calls from 5,000 call sites are read, summarised and drawn', { timeout: 240000 }, async (t) => {
  // Blocks of 24 to 2,000 bytes, about a third of them freed, the rest leaks.
  const rec = new Recording();
  rec.thread(4242);
  const live = [];
  let next = 0x10000000, seed = 11;
  const random = (n) => { seed = (seed * 1103515245 + 12345) % 2147483648; return seed % n; };
  for (let seq = 1; seq <= 1000000; seq++) {
    if (live.length > 0 && random(3) === 0) {
      const k = random(live.length);
      rec.put('free', seq, live[k], 0, 0x401000);
      live[k] = live[live.length - 1];
      live.pop();
    } else {
      rec.put('malloc', seq, 24 + random(1977), next, 0x402000 + 16 * random(5000));
      live.push(next);
      next += 0x10000;
    }
  }
  const file = path.join(dir, 'million.trace');
  fs.writeFileSync(file, rec.bytes());
  const page = await openPage(t, 390);
  page.setDefaultTimeout(180000);
  await page.goto(`http://127.0.0.1:${port}/heap`);
  await page.setInputFiles('#file', file);
  await page.waitForSelector('#recorded[data-state="shown"]');
  await sameFiguresAsHeaptrace(page, file);
  // The sites past the palette's twelve are grey; the twelve with the most bytes are listed.
  assert.ok(await pixels(page, [0xb8, 0xb8, 0xb8]) > 1000, 'no bars of the other sites');
  assert.ok(await pixels(page, [0x1d, 0x7f, 0xbf]) > 10, 'no bars of the site with the most bytes');
  assert.equal(await page.locator('#recorded .tl-table:has(h4:text("most bytes")) tr[data-site]').count(), 10);
  assert.equal(await page.locator('#replay-recording').innerText(), 'Replay every call on the classic allocator');
});

test('a hostile recording is refused with the record and the reason heaptrace gives', { timeout: 120000 }, async (t) => {
  // A sound recording to break: a module, two blocks, the first freed.
  function sound() {
    const rec = new Recording();
    rec.thread(7);
    rec.module(1, 0x400000, 0x401000, 0x402000, '/bin/sound');
    rec.put('malloc', 2, 24, 0x20000000, 0x401010);
    rec.put('malloc', 3, 40, 0x20000040, 0x401010);
    rec.put('free', 4, 0x20000000, 0, 0x401020);
    return rec;
  }
  const hostile = {
    'cut in its header': () => sound().bytes().subarray(0, 20),
    'an unknown kind': (r) => r.put(42, 5),
    'a second record alone': (r) => r.put('extra', 5),
    'a sequence past any limit': (r) => r.put('malloc', 2n ** 52n, 8, 0x20000080, 0x401010),
    'a block past the address space': (r) => r.put('malloc', 5, 8, 2n ** 57n, 0x401010),
    'a block not 8-byte aligned': (r) => r.put('malloc', 5, 8, 0x20000084, 0x401010),
    'a block larger than a machine': (r) => r.put('malloc', 5, 2 ** 48, 0x20000080, 0x401010),
    'a sequence taken twice': (r) => r.put('malloc', 3, 8, 0x20000080, 0x401010),
    'a free of a block never returned': (r) => r.put('free', 5, 0x10, 0, 0x401020),
    'a double free': (r) => r.put('free', 5, 0x20000000, 0, 0x401020),
    'a block returned while held': (r) => r.put('malloc', 5, 8, 0x20000040, 0x401010),
    'a realloc that ends before it begins': (r) => { r.put('realloc', 5, 64, 0x20000080, 0x401010); r.put('extra', 0, 0x20000040, 9); },
    "a NUL byte in a module's path": (r) => r.module(5, 0, 0x500000, 0x501000, 'lib\0x.so'),
    'a call before any thread record': () => { const r = new Recording(); r.put('malloc', 1, 8, 0x20000000, 0x401010); return r.bytes(); },
  };
  const page = await openPage(t, 1280);
  for (const [name, breakIt] of Object.entries(hostile)) {
    const rec = sound(), file = path.join(dir, 'hostile.trace');
    const made = breakIt(rec);
    fs.writeFileSync(file, Buffer.isBuffer(made) ? made : rec.bytes());
    const { refused } = heaptraceCheck(file);
    assert.ok(refused, `heaptrace reads ${name}`);
    await page.goto(`http://127.0.0.1:${port}/heap`);
    await page.setInputFiles('#file', file);
    await page.waitForSelector('#recorded[data-state="refused"]');
    assert.equal(await page.locator('#recorded .error').innerText(), `This recording is refused: ${refused}.`, name);
  }
  assert.ok(page.workers.length >= Object.keys(hostile).length, `workers: ${page.workers}`);
  // Cut between a call's two records or inside a module's path, as a kill can stop a write at
  // any page of the file: both readers read up to the last whole call and report the rest.
  const cuts = {
    "between a realloc's records": (r) => r.put('realloc', 5, 64, 0x20000080, 0x401010),
    "inside a module's path": (r) => {
      const at = r.module(5, 0, 0x500000, 0x501000, 'x'.repeat(100));
      return r.bytes().subarray(0, (at + 3) * 32);  // one of its path's four records
    },
  };
  for (const [name, cutIt] of Object.entries(cuts)) {
    const rec = sound(), file = path.join(dir, 'cut.trace');
    const made = cutIt(rec);
    fs.writeFileSync(file, Buffer.isBuffer(made) ? made : rec.bytes());
    const want = heaptraceCheck(file);
    assert.ok(!want.refused && Number(want.cut) > 0, `heaptrace on a recording cut ${name}: ${JSON.stringify(want)}`);
    await page.goto(`http://127.0.0.1:${port}/heap`);
    await page.setInputFiles('#file', file);
    await page.waitForSelector('#recorded[data-state="shown"]');
    assert.equal((await figures(page))['Cut short'], `${want.cut} bytes after the last whole call (the program was stopped)`, name);
  }
});
