// What the browser tests share: Chromium's path and flags, and modhost started on a free port.
'use strict';
const { spawn } = require('node:child_process');
const fs = require('node:fs');

const chromiumPath = '/usr/bin/chromium';
const chromiumArgs = ['--headless', '--no-sandbox', '--disable-gpu',
  '--disable-background-networking', '--no-first-run', '--disable-component-update',
  '--disable-sync'];
const startSeconds = 10;

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

module.exports = { chromiumPath, chromiumArgs, loadChromium, startModhost };
