// The heap explorer in headless Chromium, served by modhost with the built heap module: run a
// script and count the blocks of each step, step with the buttons, keys and play, read what each
// call did, compare block widths, open a block's header, load a trace file of 5,000 calls and
// step to its end, scroll a free list of 3,201 entries to its end, pick an example, see a bad
// script's error; at 1280 and 390 px, and without JavaScript.
// Usage: node heap-explorer.test.js MODHOST MODULE-DIR
// SCREENSHOT_DIR=dir also saves the pictures of README.md there (heap-explorer-desktop.png,
// heap-explorer-phone.png and heap-explorer-fault.png).
'use strict';
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { once } = require('node:events');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const {
  loadChromium, openServedPage, startModhost,
} = require('./harness');

const [modhost, moduleDir] = process.argv.slice(2);
if (!modhost || !moduleDir) {
  console.error('Usage: node heap-explorer.test.js MODHOST MODULE-DIR');
  process.exit(1);
}
const chromium = loadChromium();

// One server for all the cases.
let server, port;
test.before(async () => {
  ({ server, port } = await startModhost(modhost, moduleDir));
});
test.after(async () => {
  if (server && server.exitCode === null) {
    server.kill('SIGTERM');
    await once(server, 'exit');
  }
});

// A page in a browser of its own, closed when the case ends (harness.js).
function openPage(t, options) {
  return openServedPage(t, chromium, port, options);
}

const picture = '#picture';
async function counts(page) {
  return [await page.locator(`${picture} .block.used`).count(),
    await page.locator(`${picture} .block.free`).count()];
}
async function run(page, text) {
  await page.fill('textarea[name="script"]', text);
  await Promise.all([page.waitForNavigation(), page.click('#run button[type="submit"]')]);
}
// The page is no wider than its window: nothing scrolls sideways.
async function fitsWidth(page) {
  const [scroll, inner] = await page.evaluate(() =>
    [document.documentElement.scrollWidth, window.innerWidth]);
  assert.ok(scroll <= inner, `the page is ${scroll} px wide in a ${inner} px window`);
}
// The free blocks drawn are the entries of the list as print_list prints it.
async function listMatchesPicture(page) {
  const list = await page.locator('#freelist').textContent();
  const drawn = await page.locator(`${picture} .block.free`).evaluateAll((blocks) =>
    blocks.map((b) => `[offset:${b.dataset.offset},size:${b.dataset.size}]`));
  const entries = list.replace('FreeList: ', '');
  assert.deepEqual(entries ? entries.split('->').sort() : [], drawn.sort());
}

// c is carved below b, b below a; b freed alone, then a joins it, then c joins both sides.
const script = ['a = malloc 100', 'b = malloc 200', 'c = malloc 300', 'free b', 'free a',
  'free c'].join('\n');
const expected = [[0, 0], [1, 1], [2, 1], [3, 1], [2, 2], [1, 2], [0, 1]];  // [used, free] per step

test('a script runs and its steps are shown one at a time', { timeout: 90000 }, async (t) => {
  const page = await openPage(t, { width: 1280 });
  const first = await page.goto(`http://127.0.0.1:${port}/heap`);
  assert.equal(first.status(), 200);
  assert.equal(await page.title(), 'Heap explorer');
  assert.match(await page.inputValue('textarea[name="script"]'),
    /^a = malloc 100\nb = calloc 4 25\n/);
  // The first visit already shows the default script's steps.
  assert.match(await page.locator('#position').innerText(), /^Step 1 of 4$/);
  assert.ok((await counts(page))[0] > 0);

  await run(page, script);
  assert.equal(new URL(page.url()).search, '', 'the script went in the body');
  const steps = expected.length - 1;
  await page.keyboard.press('Home');
  for (let i = 0; i <= steps; i++) {
    assert.equal(await page.locator('#position').innerText(), `Step ${i} of ${steps}`);
    assert.deepEqual(await counts(page), expected[i], `step ${i}`);
    await listMatchesPicture(page);
    if (i < steps) await page.click('#next');
  }
  assert.equal(await page.locator('#next').isDisabled(), true);
  assert.equal(await page.locator('#freelist').innerText(), 'FreeList: [offset:16,size:2097120]');
  assert.match(await page.locator('#say').innerText(),
    /merged with both free neighbours into a free block of 2097120 bytes at 16/);

  await page.keyboard.press('ArrowLeft');
  assert.equal(await page.locator('#call').innerText(), 'Step 5: free a');
  await page.keyboard.press('Home');
  assert.match(await page.locator('#call').innerText(), /^Step 0: the empty heap/);
  assert.equal(await page.locator(`${picture} .block`).count(), 0);
  await page.keyboard.press('ArrowRight');
  assert.match(await page.locator('#say').innerText(),
    /^malloc 100 → a 120-byte block at 2097016\. The first call set the heap up/);
  await page.keyboard.press('ArrowRight');
  await page.keyboard.press('ArrowRight');
  assert.deepEqual(await counts(page), expected[3]);
  // The blocks whose header words this call changed are marked: c, new, and b, whose
  // _leftSize is now c's size; the names and places are on the blocks.
  assert.deepEqual((await page.locator(`${picture} .block.used.changed .name`).allTextContents()).sort(),
    ['b', 'c']);
  const labels = await page.locator(`${picture} .name`).allTextContents();
  assert.deepEqual(labels.sort(), ['#1', 'a', 'b', 'c']);
  const figures = await page.locator('#figures').innerText();
  assert.match(figures, /In use\s+3 blocks, 656 bytes \(608 of payload\)/);
  assert.match(figures, /Largest free\s+2096464 bytes/);

  // Play runs to the end and stops there.
  await page.click('#play');
  await page.waitForFunction(() => document.getElementById('next').disabled, null, { timeout: 20000 });
  assert.equal(await page.locator('#play').innerText(), '▶ Play');
  assert.equal(await page.locator('#position').innerText(), `Step ${steps} of ${steps}`);
  await fitsWidth(page);
});

// Holes of 80 and 2016 bytes between blocks in use, and 40 blocks in all.
const sizes = ['a = malloc 64', 'k1 = malloc 8', 'b = malloc 2000', 'k2 = malloc 8']
  .concat(Array.from({ length: 36 }, (_, i) => `m${i} = malloc ${16 + 40 * i}`))
  .concat(['free a', 'free b']).join('\n');

for (const width of [1280, 390]) {
  test(`sizes compare and a block's header opens at ${width} px`, { timeout: 90000 }, async (t) => {
    const page = await openPage(t, { width });
    await page.goto(`http://127.0.0.1:${port}/heap`);
    await run(page, sizes);
    await page.keyboard.press('End');
    const small = await page.locator(`${picture} .block.free[data-size="80"]`).boundingBox();
    const large = await page.locator(`${picture} .block.free[data-size="2016"]`).boundingBox();
    assert.ok(small && large);
    assert.ok(large.width > small.width * 1.5,
      `80 bytes drawn ${small.width} px, 2016 bytes ${large.width} px`);
    // Every block lies within the window: the rows wrap.
    const right = await page.locator(`${picture} .block`).evaluateAll((blocks) =>
      Math.max(...blocks.map((b) => b.getBoundingClientRect().right)));
    assert.ok(right <= width, `a block reaches ${right} px`);
    await fitsWidth(page);
    // Every block in use shows its size.
    const used = await page.locator(`${picture} .block.used`).evaluateAll((blocks) =>
      blocks.map((b) => [b.dataset.size, b.querySelector('.size').textContent]));
    for (const [size, shown] of used) assert.equal(shown, size);

    await page.locator(`${picture} .block.free[data-size="2016"]`).click();
    const header = await page.locator('#header').innerText();
    assert.match(header, /_blockSize\s+2016 = 2016 bytes, allocated bit clear/);
    assert.match(header, /_leftSize\s+\d+/);
    assert.match(header, /_nextFree\s+(offset \d+|the sentinel)/);
    assert.match(header, /_prevFree\s+(offset \d+|the sentinel)/);
    await page.locator(`${picture} .block.used`).first().click();
    assert.match(await page.locator('#header').innerText(), /_blockSize\s+\d+ = \d+ bytes \+ 1, the allocated bit/);
    await page.selectOption('#widths', 'linear');
    await fitsWidth(page);
    if (process.env.SCREENSHOT_DIR) {  // the pictures in README.md
      await page.selectOption('#widths', 'log');
      await page.locator(`${picture} .block.free[data-size="2016"]`).click();
      await page.setViewportSize({ width, height: width > 600 ? 1000 : 844 });
      await page.evaluate(() => window.scrollTo(0, document.getElementById('explorer').offsetTop));
      await page.screenshot({
        path: path.join(process.env.SCREENSHOT_DIR,
          width > 600 ? 'heap-explorer-desktop.png' : 'heap-explorer-phone.png'),
      });
    }
  });
}

test('a trace file of 5,000 calls loads and steps to its end', { timeout: 120000 }, async (t) => {
  // A seeded trace in the format allocator courses hand out: counts, then a, r and f lines.
  let seed = 20261209;
  const next = () => (seed = (seed * 1103515245 + 12345) % 2147483648) / 2147483648;
  const lines = [], live = [];
  let ids = 0;
  while (lines.length < 5000) {
    const r = next();
    if (live.length > 0 && r < 0.45) lines.push(`f ${live.splice(Math.floor(next() * live.length), 1)[0]}`);
    else if (live.length > 0 && r < 0.55) lines.push(`r ${live[Math.floor(next() * live.length)]} ${1 + Math.floor(next() * 5000)}`);
    else { lines.push(`a ${ids} ${1 + Math.floor(next() * 5000)}`); live.push(ids++); }
  }
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'heap-trace-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const file = path.join(dir, 'random.rep');
  fs.writeFileSync(file, `20000\n${ids}\n${lines.length}\n1\n${lines.join('\n')}\n`);

  const page = await openPage(t, { width: 1280 });
  await page.goto(`http://127.0.0.1:${port}/heap`);
  await page.setInputFiles('#file', file);
  await page.waitForFunction(() => document.querySelector('textarea').value.startsWith('20000\n'));
  await Promise.all([page.waitForNavigation({ timeout: 60000 }), page.click('#run button[type="submit"]')]);
  assert.equal(await page.locator('.error, .problem:not([hidden])').count(), 0);
  assert.equal(await page.locator('#position').innerText(), 'Step 1 of 5000');
  assert.equal(await page.locator('#call').innerText(), 'Step 1: 0 = malloc ' + lines[0].split(' ')[2]);
  await page.keyboard.press('End');
  assert.equal(await page.locator('#position').innerText(), 'Step 5000 of 5000');
  await listMatchesPicture(page);
  await page.keyboard.press('ArrowLeft');
  assert.equal(await page.locator('#position').innerText(), 'Step 4999 of 5000');
  await listMatchesPicture(page);
});

test('the examples are every scriptable program, in order, and one runs', { timeout: 60000 }, async (t) => {
  const page = await openPage(t);
  await page.goto(`http://127.0.0.1:${port}/heap`);
  const names = await page.locator('#example option').evaluateAll((o) => o.map((x) => x.value));
  assert.deepEqual(names, ['', 'first', 'test1', 'test1-1', 'test1-2', 'test1-3', 'test1-4',
    'test2', 'test3', 'test4', 'test5', 'test6', 'test7', 'test8', 'test10', 'double-free',
    'overflow', 'use-after-free']);
  await Promise.all([page.waitForNavigation(), page.selectOption('#example', 'test7')]);
  assert.equal(new URL(page.url()).search, '?example=test7');
  assert.match(await page.inputValue('textarea[name="script"]'), /free third\nfree second\n$/);
  await page.keyboard.press('End');
  assert.deepEqual(await counts(page), [1, 2]);  // guard, the merged block, the rest
  assert.equal(await page.locator(`${picture} .block.free[data-size="96"]`).count(), 1);
  await Promise.all([page.waitForNavigation(), page.selectOption('#example', 'test3')]);
  await page.keyboard.press('End');
  assert.match(await page.locator('#say').innerText(), /null, ENOMEM: beyond the largest request/);
});

// 6,400 small blocks, every other one freed: a free list of 3,201 entries, the fresh block's
// remainder last.
const holes = Array.from({ length: 6400 }, (_, i) => `m${i} = malloc 16`)
  .concat(Array.from({ length: 3200 }, (_, i) => `free m${2 * i}`)).join('\n');

test('a long free list is written as its box is scrolled, whole and in order', { timeout: 90000 }, async (t) => {
  const page = await openPage(t, { width: 1280 });
  await page.goto(`http://127.0.0.1:${port}/heap`);
  await page.evaluate((text) => { document.querySelector('textarea[name="script"]').value = text; }, holes);
  await Promise.all([page.waitForNavigation(), page.click('#run button[type="submit"]')]);
  await page.keyboard.press('End');
  assert.equal(await page.locator('#position').innerText(), 'Step 9600 of 9600');
  assert.match(await page.locator('#figures').innerText(), /Free\s+\d+ bytes in 3201 blocks/);
  const entries = async () => (await page.locator('#freelist').textContent()).replace(/^FreeList: /, '').split('->');
  const first = await entries();
  assert.equal(first.length, 3000, 'the first entries only');
  await page.$eval('.freelist', (box) => { box.scrollTop = box.scrollHeight; });
  await page.waitForFunction(() => document.getElementById('freelist').textContent.split('->').length >= 3201);
  const all = await entries();
  assert.equal(all.length, 3201);
  assert.deepEqual(all.slice(0, 3000), first);
  for (const e of all) assert.match(e, /^\[offset:\d+,size:\d+\]$/);
  assert.equal(new Set(all).size, 3201, 'no entry twice');
  // From the head along _nextFree: each freed block is 32 bytes, the remainder last.
  assert.equal(all.filter((e) => e.endsWith(',size:32]')).length, 3200);
  assert.doesNotMatch(all[3200], /,size:32\]$/);
  // Another step starts its list afresh: going back starts from a saved heap of more than
  // 4,096 blocks, made ready in a task of its own first.
  await page.keyboard.press('ArrowLeft');
  await page.waitForFunction(() => document.getElementById('position').textContent === 'Step 9599 of 9600');
  assert.equal(await page.locator('#call').innerText(), 'Step 9599: free m6396');
  assert.equal((await entries()).length, 3000);
  assert.match(await page.locator('#figures').innerText(), /Free\s+\d+ bytes in 3200 blocks/);
});

test('each fault example shows the damage it does', { timeout: 90000 }, async (t) => {
  const page = await openPage(t, { width: 390 });
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  await page.goto(`http://127.0.0.1:${port}/heap?example=double-free`);
  assert.equal(await page.locator('#stopped').isVisible(), false);
  await page.keyboard.press('End');
  // c and d hold one block, which the free list still leads to, round and round.
  assert.deepEqual(await page.locator(`${picture} .block.used .name`).allTextContents(),
    ['guard', 'c, d #1', 'top']);
  assert.match(await page.locator('#say').innerText(), /One block is now held by c, d at once/);
  assert.match(await page.locator('#freelist').innerText(), /, in use\]->\(back to #1\)$/);
  assert.match(await page.locator('#say').innerText(), /The free block at 16 \(\d+ bytes\) is off the list/);
  await fitsWidth(page);
  if (process.env.SCREENSHOT_DIR) {  // the picture of a fault in README.md
    await page.setViewportSize({ width: 1280, height: 900 });
    await page.locator(`${picture} .block.used.changed`).first().click();
    await page.evaluate(() => window.scrollTo(0, document.getElementById('stepper').offsetTop));
    await page.screenshot({ path: path.join(process.env.SCREENSHOT_DIR, 'heap-explorer-fault.png') });
    await page.setViewportSize({ width: 390, height: 800 });
  }

  await page.goto(`http://127.0.0.1:${port}/heap?example=overflow`);
  assert.match(await page.locator('#stopped').innerText(),
    /^The run stopped at line 5 \(free top\): the allocator crashed: SIG(SEGV|BUS)/);
  await page.keyboard.press('Home');
  for (let i = 0; i < 3; i++) await page.keyboard.press('ArrowRight');
  assert.equal(await page.locator('#call').innerText(), 'Step 3: overflow a 16');
  assert.match(await page.locator('#say').innerText(),
    /16 bytes of 'A' written past the end of a's payload, at 2097016 to 2097031: they overwrote _blockSize and _leftSize of the used block at 2097016\. The header at 2097016 reads _blockSize 0x4141414141414141: a size that runs past the end of its chunk/);
  await page.locator(`${picture} .block.broken.changed`).click();
  assert.match(await page.locator('#header').innerText(), /_blockSize\s+0x4141414141414141/);
  await fitsWidth(page);

  await page.goto(`http://127.0.0.1:${port}/heap?example=use-after-free`);
  assert.match(await page.locator('#stopped').innerText(),
    /^The run stopped at line 5 \(c = malloc 200\): the allocator crashed/);
  await page.keyboard.press('End');
  assert.equal(await page.locator('#call').innerText(), 'Step 4: write a 16');
  assert.match(await page.locator('#freelist').innerText(),
    /^FreeList: \[offset:2097016,size:120\]->\[0x4141414141414141: outside the heap\]$/);
  await page.locator(`${picture} .block.free.changed`).click();
  assert.match(await page.locator('#header').innerText(), /_nextFree\s+0x4141414141414141 \(outside the heap\)/);

  // Under the heap check the double free is reported at the call that commits it.
  await page.goto(`http://127.0.0.1:${port}/heap?example=double-free&check=1`);
  assert.equal(await page.locator('#check').isChecked(), true);
  assert.match(await page.locator('#stopped').innerText(),
    /^The run stopped at line 5 \(free! a\): the heap check \(MYMALLOC_CHECK\) found the fault and stopped the program: MyMalloc: free\(\): double free of a 136-byte block at 0x[0-9a-f]+ \(offset 2096864 in its chunk\), called from heaprun\+0x[0-9a-f]+ /);
  assert.equal(await page.locator('#position').innerText(), 'Step 1 of 4');  // the steps before it
  assert.deepEqual(errors, []);
});

test('a bad script shows its error, escaped', { timeout: 60000 }, async (t) => {
  const page = await openPage(t);
  await page.goto(`http://127.0.0.1:${port}/heap`);
  await run(page, 'a = malloc 8\nb = malloc <b>x</b>\n');
  assert.equal(await page.locator('.error').innerText(),
    "heaprun: line 2: size '<b>x</b>' is not a number");
  assert.equal(await page.locator('.error b').count(), 0);
  assert.equal(await page.locator('#explorer').count(), 0);
  assert.equal(await page.inputValue('textarea[name="script"]'),
    'a = malloc 8\nb = malloc <b>x</b>\n');

  await run(page, 'a = malloc 8\nfree a\nfree a\n');
  assert.match(await page.locator('.error').innerText(),
    /^heaprun: line 3: free a: the name holds no block/);
  assert.equal(await page.locator('#position').innerText(), 'Step 1 of 2');  // the steps before it

  // A script whose body the server would refuse is stopped in the page.
  await page.evaluate(() => {  // typed, it would take minutes
    document.querySelector('textarea[name="script"]').value = 'a = malloc 8\n'.repeat(90000);
  });
  await page.click('#run button[type="submit"]');
  assert.match(await page.locator('#toolong').innerText(), /too long to send: .* 1048576 at most/);
  assert.equal(await page.locator('#position').innerText(), 'Step 1 of 2');
});

test('without JavaScript the page says it needs it, at a phone\'s width', { timeout: 60000 }, async (t) => {
  const page = await openPage(t, { javaScript: false, width: 390 });
  await page.goto(`http://127.0.0.1:${port}/heap`);
  await run(page, script);
  assert.match(await page.locator('noscript, body').first().innerText(), /draws the steps with JavaScript: turn it on/);
  assert.equal(await page.locator('.block').count(), 0);
  await fitsWidth(page);
});
