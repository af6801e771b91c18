// A recorded program of more than heaprun's 10,000 script calls replayed on the classic
// allocator in headless Chromium: the server (started with the recording, as make explore
// TRACE=FILE starts it) replays it once and keeps its steps; the page fetches the window a late
// step is drawn from and draws it. The window's address refuses bad parameters.
// The recording is written here, so its heap is known at every step: blocks of 24 to 2,000
// bytes, about a third of them freed, and one request of 3 MiB that the classic allocator
// refuses.
// Usage: node heap-replay.test.js MODHOST MODULE-DIR
'use strict';
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { loadChromium, openServedPage, startModhost, stopModhost } = require('./harness');
const { Recording } = require('./recording');

const [modhost, moduleDir] = process.argv.slice(2);
if (!moduleDir) {
  console.error('Usage: node heap-replay.test.js MODHOST MODULE-DIR');
  process.exit(1);
}
const chromium = loadChromium();
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'heap-replay-'));
const CALLS = 12000, LATE = 11500, REFUSED_AT = 11000;

// A recording (docs/heaprun.md's records of 32 bytes) of CALLS calls of one thread, and the
// number of blocks alive after each call.
function recording() {
  const rec = new Recording();
  rec.thread(4242);
  const live = [], liveAfter = [];
  let next = 0x10000000, seed = 7;
  const random = (n) => { seed = (seed * 1103515245 + 12345) % 2147483648; return seed % n; };
  for (let seq = 1; seq <= CALLS; seq++) {
    if (seq !== REFUSED_AT && live.length > 0 && random(3) === 0) {
      rec.put('free', seq, live.splice(random(live.length), 1)[0], 0, 0x401000);
    } else {
      const size = seq === REFUSED_AT ? 3 << 20 : 24 + random(1977);
      rec.put('malloc', seq, size, next, 0x401100);
      if (seq !== REFUSED_AT) live.push(next);  // the classic allocator holds no block for it
      next += 0x10000 + (seq === REFUSED_AT ? 4 << 20 : 0);
    }
    liveAfter.push(live.length);
  }
  const file = path.join(dir, 'made.trace');
  fs.writeFileSync(file, rec.bytes());
  return { file, liveAfter };
}

let server, port, made;
test.before(async () => {
  made = recording();
  process.env.HEAP_TRACE = made.file;  // modhost, and the module it runs, inherit it
  process.env.TMPDIR = dir;  // the kept runs' folder goes in here
  ({ server, port } = await startModhost(modhost, moduleDir));
});
test.after(async () => {
  await stopModhost(server);
  fs.rmSync(dir, { recursive: true, force: true });
});

async function ask(query) {
  const r = await fetch(`http://127.0.0.1:${port}/heap?${query}`);
  return r.text();
}

// Replays the recording the page shows, jumps to a late step and to the refused request, and
// checks the blocks in use at each; returns the time to the late step and the longest task.
async function replayAndJump(page) {
  await page.click('#replay-recording');
  await page.waitForSelector(`#recorded[data-replayed="${CALLS}"]`);
  await page.waitForFunction(() => /^Step 1 of /.test(document.querySelector('#position').textContent));
  const jump = async (to) => {
    await page.$eval('#seek', (seek, at) => {
      seek.value = at;
      seek.dispatchEvent(new Event('input'));
    }, to);
    await page.waitForFunction((at) => document.querySelector('#position').textContent === `Step ${at} of 12000`, to);
  };
  const began = Date.now();
  await jump(LATE);
  const drawnIn = Date.now() - began;
  await page.waitForSelector('#picture[data-drawn="all"]');
  assert.match(await page.textContent('#figures'), new RegExp(`In use${made.liveAfter[LATE - 1]} blocks,`), 'the blocks in use at the late step');
  const drawn = await page.$$eval('#picture .block', (b) => b.length);
  assert.ok(drawn >= 1000 && drawn <= 3000, `${drawn} blocks drawn`);
  await jump(REFUSED_AT);  // a step before the window fetched last
  assert.match(await page.textContent('#say'), /null, ENOMEM: beyond the largest request/);
  assert.match(await page.textContent('#figures'), new RegExp(`In use${made.liveAfter[REFUSED_AT - 1]} blocks,`));
  return { drawnIn, longest: Math.round(await page.evaluate(() => window.longestTask)) };
}

for (const how of ['served', 'picked']) {
  test(`a recording ${how} replays whole and a late step is fetched and drawn`, async (t) => {
    const page = await openServedPage(t, chromium, port, { width: 1280, height: 900 });
    page.setDefaultTimeout(120000);
    const errors = [];
    page.on('pageerror', (e) => errors.push(e.message));
    await page.addInitScript(() => {
      window.longestTask = 0;
      new PerformanceObserver((list) => list.getEntries().forEach((e) => {
        window.longestTask = Math.max(window.longestTask, e.duration);
      })).observe({ type: 'longtask', buffered: true });
    });
    if (how === 'served') {
      await page.goto(`http://127.0.0.1:${port}/heap?trace`);
    } else {
      await page.goto(`http://127.0.0.1:${port}/heap`);
      await page.setInputFiles('#file', made.file);
    }
    const { drawnIn, longest } = await replayAndJump(page);
    console.log(`# ${how}: step ${LATE} drawn ${drawnIn} ms after the jump; longest main-thread task ${longest} ms`);
    assert.deepEqual(errors, [], 'the page threw');
  });
}

test('a window holds the kept heap before its steps; bad parameters are refused', async (t) => {
  let answer;
  for (let tries = 0; tries < 600; tries++) {  // the first case replayed it already
    answer = JSON.parse(await ask('replay=trace'));
    if (!answer.pending) break;
    await new Promise((resolve) => setTimeout(resolve, 200));
  }
  assert.equal(answer.steps, CALLS, JSON.stringify(answer));
  const lines = (await ask(`run=${answer.run}&from=${LATE}&count=3`)).trim().split('\n').map((l) => JSON.parse(l));
  // The heap kept last before the step: after a multiple of 1,024 steps, at most a few apart.
  const base = lines[1].window;
  assert.equal(lines[0].layout.chunkSize, 2097152);
  assert.deepEqual(lines[1], { window: base, steps: CALLS });
  assert.ok(base % 1024 === 0 && base < LATE && base >= LATE - 4 * 1024, String(base));
  assert.equal(lines[3].keep, base);
  assert.equal(lines.filter(Array.isArray).length, LATE + 3 - base);
  const refusals = [
    ['run=zz&from=1&count=1', /^run: not the name of a run/],
    ['run=../../etc/passwd&from=1&count=1', /^run: not the name of a run/],
    ['run=0123456789abcdef&from=1&count=1', /^There is no such run/],
    [`run=${answer.run}&count=1`, /^from: a step number/],
    [`run=${answer.run}&from=-1&count=1`, /^from: a step number/],
    [`run=${answer.run}&from=1e3&count=1`, /^from: a step number/],
    [`run=${answer.run}&from=${CALLS + 1}&count=1`, /^from: past the run's last step/],
    [`run=${answer.run}&from=1&count=0`, /^count: a number of steps/],
    [`run=${answer.run}&from=1&count=4097`, /^count: a number of steps/],
    ['replay=other', /^replay=trace is the only replay/],
    ['replay=0123456789abcdef', /^There is no such replay/],
  ];
  for (const [query, why] of refusals) assert.match(JSON.parse(await ask(query)).error, why, query);
  const uploads = [
    ['upload=zz&at=0&script=0', /^upload: not the name of a run/],
    ['upload=00000000000000aa&at=5&script=0', /^at: the parts before this one did not arrive/],
    ['upload=00000000000000aa&at=-1&script=0', /^at: the bytes sent before/],
    ['upload=00000000000000aa&at=0', /^script: the part is missing/],
  ];
  for (const [body, why] of uploads) {
    const r = await fetch(`http://127.0.0.1:${port}/heap`, {
      method: 'POST', body, headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
    });
    assert.match(JSON.parse(await r.text()).error, why, body);
  }
  // An upload that is no trace is refused by heaprun, with its line and reason.
  const r = await fetch(`http://127.0.0.1:${port}/heap`, {
    method: 'POST', body: 'upload=00000000000000bb&at=0&last=1&script=0%0A1%0A1%0A1%0Ax+0+8%0A', headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
  });
  assert.deepEqual(JSON.parse(await r.text()), { pending: '00000000000000bb' });
  answer = { pending: true };
  for (let tries = 0; tries < 600 && answer.pending; tries++) {
    answer = JSON.parse(await ask('replay=00000000000000bb'));
    if (answer.pending) await new Promise((resolve) => setTimeout(resolve, 200));
  }
  assert.match(answer.error, /^heaprun: line 5: /);
  // One that heaprun stops partway keeps the steps before, and each window says why.
  const cut = '0%0A1%0A3%0A1%0Aa+0+8%0Af+0%0Af+0%0A';
  await fetch(`http://127.0.0.1:${port}/heap`, {
    method: 'POST', body: `upload=00000000000000cc&at=0&last=1&script=${cut}`, headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
  });
  answer = { pending: true };
  for (let tries = 0; tries < 600 && answer.pending; tries++) {
    answer = JSON.parse(await ask('replay=00000000000000cc'));
    if (answer.pending) await new Promise((resolve) => setTimeout(resolve, 200));
  }
  assert.deepEqual(answer, { run: '00000000000000cc', steps: 2 });
  const window = (await ask('run=00000000000000cc&from=1&count=4')).trim().split('\n').map((l) => JSON.parse(l));
  assert.equal(window[1].steps, 2);
  assert.match(window[1].why, /^heaprun: line 7: free 0: the name holds no block/);
  assert.equal(window.filter(Array.isArray).length, 2);
  const page = await openServedPage(t, chromium, port, { width: 1280, height: 900 });
  await page.goto(`http://127.0.0.1:${port}/heap`);
  await page.evaluate(() => new Promise((resolve, reject) => window.heapExplorer.keptRun('00000000000000cc', 2, (run) => {
    const root = document.createElement('div');
    root.id = 'cut';
    document.body.appendChild(root);
    window.heapExplorer.replay(root, run);
    resolve();
  }, reject)));
  assert.match(await page.textContent('#cut #stopped'), /^The replay stopped after step 2: heaprun: line 7: free 0: the name holds no block \(freed on line 6\)\. The steps before it are shown\.$/);
});
