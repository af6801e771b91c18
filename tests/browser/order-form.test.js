// An order through the form in headless Chromium, served by modhost with the built order-form
// module: tick items, fill in name, address and phone, submit without a password, read the
// preview letter. Usage: node order-form.test.js MODHOST MODULE-DIR
// SCREENSHOT_DIR=dir also saves the filled form and the preview as PNG files there.
'use strict';
const { after, test } = require('node:test');
const assert = require('node:assert/strict');
const { once } = require('node:events');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const {
  chromiumPath, chromiumArgs, chromiumIn, closeBrowser, loadChromium, startModhost: start,
} = require('./harness');

const [modhost, moduleDir] = process.argv.slice(2);
if (!modhost || !moduleDir) {
  console.error('Usage: node order-form.test.js MODHOST MODULE-DIR');
  process.exit(1);
}
const chromium = loadChromium();
const startModhost = () => start(modhost, moduleDir);

// Every profile made, each of which must be gone, with its chromium, once the tests are done.
const profiles = [];
function makeProfile() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'order-form-chromium-'));
  profiles.push(profile);
  return profile;
}
after(() => {
  for (const profile of profiles) {
    assert.deepEqual(chromiumIn(profile), [], `chromium still runs in ${profile}`);
    assert.equal(fs.existsSync(profile), false, `${profile} is left behind`);
  }
});

async function screenshot(page, name) {
  if (process.env.SCREENSHOT_DIR)
    await page.screenshot({ path: path.join(process.env.SCREENSHOT_DIR, name), fullPage: true });
}

test('an order without a password shows its preview letter', { timeout: 60000 }, async (t) => {
  const { server, port, log } = await startModhost();
  t.after(async () => {
    if (server.exitCode === null) {
      server.kill('SIGTERM');
      await once(server, 'exit');
    }
  });
  const profile = makeProfile();
  let context;
  t.after(() => closeBrowser(context, profile));
  context = await chromium.launchPersistentContext(profile, {
    executablePath: chromiumPath, headless: true, args: chromiumArgs, timeout: 30000,
  });
  const page = context.pages()[0] ?? await context.newPage();
  page.setDefaultTimeout(10000);

  // The server's root leads to the form.
  const first = await page.goto(`http://127.0.0.1:${port}/`);
  assert.equal(first.status(), 200);
  assert.equal(new URL(page.url()).pathname, '/tolv');
  assert.equal(await page.title(), 'Form for Submarine Order');
  assert.equal(await page.locator('input[type="checkbox"]').count(), 24);

  for (const [field, value] of [['sub', 0], ['sub', 7], ['slj', 2], ['pop', 1]])
    await page.check(`input[name="${field}"][value="${value}"]`);
  await page.fill('input[name="name"]', 'Customer One');
  await page.fill('input[name="adr"]', '12 Elm St & 3rd Ave');
  await page.fill('input[name="phone"]', '555-0100');
  await screenshot(page, 'order-form.png');

  const [answer] = await Promise.all([
    page.waitForNavigation(),
    page.click('input[type="submit"]'),
  ]);
  assert.equal(answer.status(), 200);
  assert.equal(new URL(page.url()).search,
    '?pwd=&sub=0&sub=7&slj=2&pop=1&name=Customer+One&adr=12+Elm+St+%26+3rd+Ave&phone=555-0100');
  assert.equal(await page.title(), 'Your Order');
  assert.equal(await page.locator('h1').innerText(), 'Your Order');
  const letter = await page.locator('plaintext').textContent();
  assert.equal(letter.replace(/^\n/, ''), [
    'My name is Customer One, and I would like to have the following',
    'order delivered to 12 Elm St & 3rd Ave:',
    '',
    '\t(1) The Lantern Sub',
    '\t(1) Bramble Club',
    '\t(1) Seaboard Tuna Lean Wren',
    '\t(1) Ridge Rush',
    '',
    'Please feel free to call me at 555-0100 if there is any',
    'problem. Thank you.',
    '',
    '.',
    '',
  ].join('\n'));
  await screenshot(page, 'order-preview.png');

  server.kill('SIGTERM');
  const [code] = await once(server, 'exit');
  assert.equal(code, 0);
  assert.match(log(), / 127\.0\.0\.1:\d+ GET \/tolv\?\[\d+ bytes\] 200 /);
});

test('a close that hangs: chromium is killed, then its profile removed', { timeout: 60000 },
  async (t) => {
    const profile = makeProfile();
    let context;
    t.after(() => closeBrowser(context, profile).catch(() => {}));  // playwright's side of it
    context = await chromium.launchPersistentContext(profile, {
      executablePath: chromiumPath, headless: true, args: chromiumArgs, timeout: 30000,
    });
    await (context.pages()[0] ?? await context.newPage()).goto('about:blank');
    assert.notDeepEqual(chromiumIn(profile), []);
    // A close that never ends: chromium is killed when the time is up, and the profile goes.
    const hanging = { close: () => new Promise(() => {}) };
    await assert.rejects(closeBrowser(hanging, profile, 1), /did not close within 1 s/);
    assert.deepEqual(chromiumIn(profile), []);
    assert.equal(fs.existsSync(profile), false);
  });
