// The heap explorer in headless Chromium, served by modhost with the built heap module: run a
// script and count the blocks of each step, step with the buttons and the keys, pick an
// example, see a bad script's error; without JavaScript and at a phone's width.
// Usage: node heap-explorer.test.js MODHOST MODULE-DIR
// SCREENSHOT_DIR=dir also saves the last step of the test4 example as heap-explorer.png there.
'use strict';
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { once } = require('node:events');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const {
  chromiumPath, chromiumArgs, closeBrowser, loadChromium, startModhost,
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

// A page in a browser of its own, closed when the case ends: the browser first, then its
// profile folder. Any request to another place than the server fails the case.
async function openPage(t, { javaScript = true, width } = {}) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'heap-explorer-chromium-'));
  const outside = [];
  let context;
  t.after(async () => {
    await closeBrowser(context, profile);
    assert.deepEqual(outside, [], 'the page asked for outside resources');
  });
  context = await chromium.launchPersistentContext(profile, {
    executablePath: chromiumPath, headless: true, args: chromiumArgs, timeout: 30000,
    javaScriptEnabled: javaScript, viewport: width ? { width, height: 800 } : undefined,
  });
  const page = context.pages()[0] ?? await context.newPage();
  page.setDefaultTimeout(15000);
  page.on('request', (r) => {
    if (!r.url().startsWith(`http://127.0.0.1:${port}/`)) outside.push(r.url());
  });
  return page;
}

const visible = 'section.step:not([hidden])';
async function counts(page, scope) {
  return [await page.locator(`${scope} .block.used`).count(),
    await page.locator(`${scope} .block.free`).count()];
}

// c is carved below b, b below a; b freed alone, then a joins it, then c joins both sides.
const script = ['a = malloc 100', 'b = malloc 200', 'c = malloc 300', 'free b', 'free a',
  'free c'].join('\n');
const expected = [[1, 1], [2, 1], [3, 1], [2, 2], [1, 2], [0, 1]];  // [used, free] per step

test('a script runs and its steps are shown one at a time', { timeout: 60000 }, async (t) => {
  const page = await openPage(t);
  const first = await page.goto(`http://127.0.0.1:${port}/heap`);
  assert.equal(first.status(), 200);
  assert.equal(await page.title(), 'Heap explorer');
  assert.match(await page.inputValue('textarea[name="script"]'),
    /^a = malloc 100\nb = calloc 4 25\n/);
  assert.equal(await page.locator('.step').count(), 0);

  await page.fill('textarea[name="script"]', script);
  await Promise.all([page.waitForNavigation(), page.click('#run button[type="submit"]')]);
  assert.equal(await page.locator('.step').count(), expected.length);
  assert.equal(await page.locator(visible).count(), 1);
  assert.equal(await page.locator('.block').count(),
    await page.locator('.block.used, .block.free, .block.fence').count());

  for (let i = 0; i < expected.length; i++) {
    assert.equal(await page.locator('#position').innerText(),
      `Step ${i + 1} of ${expected.length}`);
    assert.deepEqual(await counts(page, visible), expected[i], `step ${i + 1}`);
    // The free blocks drawn are the entries of the list as print_list prints it.
    const list = await page.locator(`${visible} .freelist`).innerText();
    const drawn = await page.locator(`${visible} .block.free`).evaluateAll((blocks) =>
      blocks.map((b) => `[offset:${b.dataset.offset},size:${b.dataset.size}]`));
    assert.deepEqual(list.replace('FreeList: ', '').split('->').sort(), drawn.sort());
    if (i + 1 < expected.length) await page.click('#next');
  }
  assert.equal(await page.locator('#next').isDisabled(), true);
  assert.equal(await page.locator(`${visible} .freelist`).innerText(),
    'FreeList: [offset:16,size:2097120]');

  await page.keyboard.press('ArrowLeft');
  assert.equal(await page.locator(`${visible} h3`).innerText(), 'Step 5: free a');
  await page.keyboard.press('Home');
  assert.equal(await page.locator(`${visible} h3`).innerText(), 'Step 1: a = malloc 100');
  await page.keyboard.press('ArrowRight');
  await page.keyboard.press('ArrowRight');
  assert.deepEqual(await counts(page, visible), expected[2]);
  const labels = await page.locator(`${visible} .name`).allTextContents();
  assert.deepEqual(labels.sort(), ['#1', 'a', 'b', 'c']);  // the used blocks' names
  await page.click('#prev');
  assert.equal(await page.locator('#position').innerText(), `Step 2 of ${expected.length}`);
});

test('an example from the menu runs', { timeout: 60000 }, async (t) => {
  const page = await openPage(t);
  await page.goto(`http://127.0.0.1:${port}/heap`);
  await Promise.all([page.waitForNavigation(), page.selectOption('#example', 'test7')]);
  assert.equal(new URL(page.url()).search, '?example=test7');
  assert.match(await page.inputValue('textarea[name="script"]'), /free third\nfree second\n$/);
  await page.keyboard.press('End');
  assert.deepEqual(await counts(page, visible), [1, 2]);  // guard, the merged block, the rest
  assert.equal(await page.locator(`${visible} .block.free[data-size="96"]`).count(), 1);
  if (process.env.SCREENSHOT_DIR) {  // the picture in README.md
    await page.setViewportSize({ width: 1000, height: 800 });
    await page.goto(`http://127.0.0.1:${port}/heap?example=test4`);
    await page.keyboard.press('End');
    await page.screenshot({ path: path.join(process.env.SCREENSHOT_DIR, 'heap-explorer.png'),
      fullPage: true });
  }
});

test('a bad script shows its error, escaped', { timeout: 60000 }, async (t) => {
  const page = await openPage(t);
  await page.goto(`http://127.0.0.1:${port}/heap`);
  await page.fill('textarea[name="script"]', 'a = malloc 8\nb = malloc <b>x</b>\n');
  await Promise.all([page.waitForNavigation(), page.click('#run button[type="submit"]')]);
  assert.equal(await page.locator('.error').innerText(),
    "heaprun: line 2: size '<b>x</b>' is not a number");
  assert.equal(await page.locator('.error b').count(), 0);
  assert.equal(await page.locator('.step').count(), 0);
  assert.equal(await page.inputValue('textarea[name="script"]'),
    'a = malloc 8\nb = malloc <b>x</b>\n');

  await page.fill('textarea[name="script"]', 'a = malloc 8\nfree a\nfree a\n');
  await Promise.all([page.waitForNavigation(), page.click('#run button[type="submit"]')]);
  assert.match(await page.locator('.error').innerText(),
    /^heaprun: line 3: free a: the name holds no block/);
  assert.equal(await page.locator('.step').count(), 2);  // the steps before it

  // A script whose request line the server would refuse is stopped in the page.
  await page.fill('textarea[name="script"]', 'a = malloc 8\n'.repeat(500));
  await page.click('#run button[type="submit"]');
  assert.match(await page.locator('#toolong').innerText(), /too long to send: .* 8192 at most/);
  assert.equal(await page.locator('.step').count(), 2);
});

test('without JavaScript every step shows, at a phone\'s width', { timeout: 60000 }, async (t) => {
  const query = new URLSearchParams({ script }).toString();
  const page = await openPage(t, { javaScript: false, width: 390 });
  await page.goto(`http://127.0.0.1:${port}/heap?${query}`);
  assert.equal(await page.locator(visible).count(), expected.length);
  assert.equal(await page.locator('#stepper').isVisible(), false);
  for (let i = 0; i < expected.length; i++)
    assert.deepEqual(await counts(page, `#step-${i + 1}`), expected[i], `step ${i + 1}`);
  const widths = await page.evaluate(() =>
    [document.documentElement.scrollWidth, window.innerWidth]);
  assert.ok(widths[0] <= widths[1], `the page is ${widths[0]} px wide in a ${widths[1]} px window`);
});
