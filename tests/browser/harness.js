// What the browser tests share: Chromium's path and flags, its close, and modhost started on a
// free port.
'use strict';
const { spawn } = require('node:child_process');
const fs = require('node:fs');

const chromiumPath = '/usr/bin/chromium';
const chromiumArgs = ['--headless', '--no-sandbox', '--disable-gpu',
  '--disable-background-networking', '--no-first-run', '--disable-component-update',
  '--disable-sync'];
const startSeconds = 10;
const closeSeconds = 30;

// playwright-core, or the end of the process with what to install.
function loadChromium() {
  let chromium;
  try {
    ({ chromium } = require('playwright-core'));
  } catch (e) {
    console.error('playwright-core is missing: run scripts/ensure-deps check');
    process.exit(1);
  }
  if (!fs.existsSync(chromiumPath)) {
    console.error(`${chromiumPath} is missing: run scripts/ensure-deps check`);
    process.exit(1);
  }
  return chromium;
}

// Starts modhost on a free port; resolves to { server, port, log } once it listens.
function startModhost(modhost, moduleDir) {
  const server = spawn(modhost, ['0', moduleDir], { stdio: ['ignore', 'pipe', 'inherit'] });
  return new Promise((resolve, reject) => {
    let seen = '';
    const timer = setTimeout(() => {
      server.kill('SIGKILL');
      reject(new Error(`modhost did not listen within ${startSeconds} s: ${seen}`));
    }, startSeconds * 1000);
    server.stdout.setEncoding('utf8');
    server.stdout.on('data', (chunk) => {
      seen += chunk;
      const m = /listening on http:\/\/127\.0\.0\.1:(\d+)\//.exec(seen);
      if (m) {
        clearTimeout(timer);
        resolve({ server, port: Number(m[1]), log: () => seen });
      }
    });
    server.on('exit', (code) => {
      clearTimeout(timer);
      reject(new Error(`modhost ended with ${code} before listening: ${seen}`));
    });
  });
}

// Returns the ids of the processes that run chromium in profile.
function chromiumIn(profile) {
  const flag = `--user-data-dir=${profile}`;
  return fs.readdirSync('/proc').filter((pid) => /^\d+$/.test(pid)).filter((pid) => {
    try {
      return fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').split('\0').includes(flag);
    } catch {
      return false;  // ended meanwhile
    }
  }).map(Number);
}

// Closes chromium, then removes its profile, whatever failed before. Chromium writes into its
// profile until it has ended, so removing the profile first can fail (ENOTEMPTY), and a
// chromium left running keeps this process from ending. A close that fails or takes longer
// than seconds is made good by killing what still runs in the profile.
async function closeBrowser(context, profile, seconds = closeSeconds) {
  let timer;
  try {
    if (context) {
      await Promise.race([context.close(), new Promise((resolve, reject) => {
        timer = setTimeout(() => reject(new Error(`chromium did not close within ${seconds} s`)),
          seconds * 1000);
      })]);
    }
  } finally {
    clearTimeout(timer);
    for (const pid of chromiumIn(profile)) {
      try {
        process.kill(-pid, 'SIGKILL');  // playwright starts chromium in a process group of its own
      } catch {
        try {
          process.kill(pid, 'SIGKILL');
        } catch {
          // ended meanwhile
        }
      }
    }
    const end = Date.now() + closeSeconds * 1000;
    while (chromiumIn(profile).length > 0 && Date.now() < end)
      await new Promise((resolve) => setTimeout(resolve, 50));
    fs.rmSync(profile, { recursive: true, force: true, maxRetries: 10 });
  }
}

// A page in a browser of its own that the server on port serves, closed when the test case t
// ends: the browser first, then its profile folder. Any request to another place than the
// server (or for /favicon.ico, which would be a 404) fails the case.
async function openServedPage(t, chromium, port, { javaScript = true, width, height = 800 } = {}) {
  const assert = require('node:assert/strict');
  const os = require('node:os');
  const path = require('node:path');
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'served-page-chromium-'));
  const outside = [];
  let context;
  t.after(async () => {
    await closeBrowser(context, profile);
    assert.deepEqual(outside, [], 'the page asked for outside resources');
  });
  context = await chromium.launchPersistentContext(profile, {
    executablePath: chromiumPath, headless: true, args: chromiumArgs, timeout: 30000,
    javaScriptEnabled: javaScript, viewport: width ? { width, height } : undefined,
  });
  const page = context.pages()[0] ?? await context.newPage();
  page.setDefaultTimeout(15000);
  page.on('request', (r) => {
    if (!r.url().startsWith(`http://127.0.0.1:${port}/`) && !r.url().startsWith('data:'))
      outside.push(r.url());
    if (new URL(r.url()).pathname === '/favicon.ico') outside.push(r.url());
  });
  return page;
}

// Stops a server that startModhost started, if it still runs.
async function stopModhost(server) {
  if (!server || server.exitCode !== null) return;
  const { once } = require('node:events');
  server.kill('SIGTERM');
  await once(server, 'exit');
}

module.exports = {
  chromiumPath, chromiumArgs, chromiumIn, closeBrowser, loadChromium, openServedPage, startModhost,
  stopModhost,
};
