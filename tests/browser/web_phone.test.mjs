// The web phone in a real browser: Debian's Chromium, headless, at a phone's viewport, driven by
// puppeteer-core, against the built torvo-relay (serving the page at /phone/) and two agents in
// simulate mode, with torvo-ctl as the desktop app. As root, the agents and torvo-ctl run as
// nobody (simulate mode refuses root). Screenshots of the main screens go to
// TORVO_SCREENSHOTS (default: TORVO_BIN_DIR).
//
// Environment: TORVO_BIN_DIR (the built programs), CHROMIUM (default /usr/bin/chromium).
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { chmodSync, chownSync, copyFileSync, mkdirSync, mkdtempSync, readFileSync, rmSync, existsSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { after, before, test } from 'node:test';
import { fileURLToPath } from 'node:url';
import puppeteer from 'puppeteer-core';

const here = dirname(fileURLToPath(import.meta.url));
const phoneDir = resolve(here, '../../web/phone');
const binDir = process.env.TORVO_BIN_DIR;
const shots = process.env.TORVO_SCREENSHOTS || binDir;
const chromium = process.env.CHROMIUM || '/usr/bin/chromium';
const nobody = 65534;
const asUser = process.getuid() === 0 ? { uid: nobody, gid: nobody } : {};
const phoneUA =
  'Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/124.0.0.0 Mobile Safari/537.36';
const viewport = { width: 390, height: 844, deviceScaleFactor: 2, isMobile: true, hasTouch: true };

const scratch = mkdtempSync(join(tmpdir(), 'torvo-web-phone-'));
const children = [];
let relayURL;
let browser;
let page;
const problems = []; // console errors and CSP refusals seen by the page

// A started program; `waitFor` resolves with the first match of `pattern` in its output.
function start(program, args, options = {}) {
  const child = spawn(join(scratch, program), args, { stdio: ['ignore', 'pipe', 'pipe'], ...options });
  children.push(child);
  child.output = '';
  child.stdout.on('data', (d) => { child.output += d; });
  child.stderr.on('data', (d) => { child.output += d; });
  child.waitFor = (pattern, seconds = 10) => new Promise((resolveMatch, reject) => {
    const check = () => {
      const match = child.output.match(pattern);
      if (match) {
        clearInterval(timer);
        resolveMatch(match);
      }
    };
    const timer = setInterval(check, 50);
    setTimeout(() => {
      clearInterval(timer);
      reject(new Error(`${program} did not print ${pattern} in ${seconds} s:\n${child.output}`));
    }, seconds * 1000);
    check();
  });
  return child;
}

// One simulated computer: an agent with its own home, and torvo-ctl to reach it.
async function startComputer(name) {
  const home = join(scratch, name);
  mkdirSync(home, { mode: 0o700 });
  if (asUser.uid !== undefined) chownSync(home, nobody, nobody);
  const agent = start('torvo-agent', ['--simulate', '--home', home, '--relay', relayURL, '--poll-seconds', '2'], asUser);
  for (let i = 0; i < 400 && !existsSync(join(home, 'agent.sock')); i += 1) await new Promise((r) => setTimeout(r, 25));
  assert.ok(existsSync(join(home, 'agent.sock')), `the agent did not start:\n${agent.output}`);
  const ctl = (...args) => execFileSync(join(scratch, 'torvo-ctl'), args, {
    encoding: 'utf8',
    env: { ...process.env, TORVO_AGENT_SOCKET: join(home, 'agent.sock'), TZ: 'UTC' },
    ...asUser,
  });
  return {
    ctl,
    status: () => JSON.parse(ctl('status', '--json')),
    webLink: () => ctl('pair', '--web', `${relayURL}/phone/`).match(/^web: (\S+)$/m)[1],
    log: () => readFileSync(join(home, 'logs', 'agent.log'), 'utf8'),
  };
}

const text = (id) => page.$eval(`#${id}`, (e) => e.textContent);
const visible = (id) => page.$eval(`#${id}`, (e) => !e.hidden);
// Waits until the element's text matches; on time-out the error shows what the page said.
async function waitText(id, pattern, seconds = 30) {
  try {
    await page.waitForFunction(
      (elementID, source) => new RegExp(source).test(document.getElementById(elementID)?.textContent ?? ''),
      { timeout: seconds * 1000 }, id, pattern.source,
    );
  } catch (error) {
    const said = await page.evaluate(() => ['headline', 'pending', 'notes', 'banner']
      .map((i) => `${i}: ${document.getElementById(i)?.textContent}`).join('\n'));
    throw new Error(`#${id} never matched ${pattern}:\n${said}\n${problems.join('\n')}`, { cause: error });
  }
}
const shoot = (name) => page.screenshot({ path: join(shots, `web-phone-${name}.png`) });

// Opens the page with a computer's web link and confirms the pairing under `phoneName`.
async function pairFrom(link, phoneName) {
  await page.goto(link, { waitUntil: 'load' });
  await page.waitForSelector('#confirm:not([hidden])', { timeout: 10000 });
  assert.ok(!page.url().includes('#'), `the pairing link left the address bar: ${page.url()}`);
  await page.$eval('#phone-name', (e) => { e.value = ''; });
  await page.type('#phone-name', phoneName);
  await page.tap('#confirm-pair');
  // Answered: the computer's card is up, nothing is waiting and its report says asleep.
  await page.waitForFunction(() => !document.getElementById('computer').hidden && document.getElementById('pending').hidden,
    { timeout: 30000 });
  await waitText('headline', /^Asleep$/);
}

before(async () => {
  assert.ok(binDir, 'TORVO_BIN_DIR names the folder of the built programs');
  chmodSync(scratch, 0o755);
  for (const program of ['torvo-relay', 'torvo-agent', 'torvo-ctl']) {
    copyFileSync(join(binDir, program), join(scratch, program));
    chmodSync(join(scratch, program), 0o755);
  }
  const relay = start('torvo-relay', ['--listen', '127.0.0.1:0', '--phone-dir', phoneDir]);
  relayURL = (await relay.waitFor(/listening on (http:\/\/\S+)/))[1];
  browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    userDataDir: join(scratch, 'profile'),
    args: ['--headless=new', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  page = await browser.newPage();
  await page.emulate({ viewport, userAgent: phoneUA });
  page.on('console', (m) => { if (m.type() === 'error') problems.push(m.text()); });
  page.on('pageerror', (e) => problems.push(e.message));
});

after(async () => {
  await browser?.close();
  for (const child of children) child.kill('SIGTERM');
  await Promise.all(children.map((c) => (c.exitCode === null ? new Promise((r) => c.on('exit', r)) : null)));
  rmSync(scratch, { recursive: true, force: true });
});

test('the relay serves the page with its own Content-Security-Policy', async () => {
  const response = await fetch(`${relayURL}/phone/`);
  assert.equal(response.status, 200);
  const html = await response.text();
  assert.match(html, /http-equiv="Content-Security-Policy" content="default-src 'none'; script-src 'self';[^"]*connect-src 'self'/);
});

test('pair from the web link, wake for 2 hours, end, reload, add a second computer', async () => {
  await page.goto(`${relayURL}/phone/`, { waitUntil: 'load' });
  await page.waitForSelector('#welcome:not([hidden])', { timeout: 10000 });
  await shoot('welcome');

  const desk = await startComputer('desk');
  const before = Math.floor(Date.now() / 1000);
  await pairFrom(desk.webLink(), 'Anna’s phone');
  await shoot('paired');
  const paired = desk.status().devices;
  assert.equal(paired.length, 1);
  assert.equal(paired[0].name, 'Anna’s phone', 'the confirming request carries the chosen name');
  assert.ok(paired[0].lastSeen, 'the first request confirms the pairing');

  await page.tap('[data-wake="2"]');
  await waitText('headline', /^Awake until (\w{3} )?\d\d:\d\d/);
  await waitText('notes', /Awake until/);
  const until = desk.status().awakeUntil;
  assert.ok(until >= before + 2 * 3600 && until <= Math.floor(Date.now() / 1000) + 2 * 3600 + 60, `awake until ${until}`);
  await shoot('awake');
  await page.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: 'dark' }]);
  await shoot('awake-dark');
  await page.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: 'light' }]);

  await page.tap('[data-interval="30"]');
  await page.waitForSelector('[data-interval="30"][aria-pressed="true"]', { timeout: 30000 });
  assert.equal(desk.status().config.checkIn, 30);

  await page.tap('#end');
  await waitText('headline', /^Asleep$/);
  assert.equal(desk.status().awakeUntil, undefined, desk.log());
  assert.ok(!(await visible('pending')), 'the End was answered');

  await page.reload({ waitUntil: 'load' });
  await page.waitForSelector('#computer:not([hidden])', { timeout: 10000 });
  assert.equal(await text('headline'), 'Asleep', 'the stored report shows at once');
  await page.tap('#refresh');
  await waitText('notes', /./);
  await page.waitForFunction(() => document.getElementById('pending').hidden, { timeout: 30000 });

  const den = await startComputer('den');
  await pairFrom(den.webLink(), 'Anna’s phone');
  assert.equal(den.status().devices.length, 1);
  const options = await page.$$eval('#computer-select option', (all) => all.map((o) => [o.value, o.selected]));
  assert.equal(options.length, 2);
  await shoot('two-computers');

  // Back to the first computer: its stored state and its buttons reach it, not the second.
  const first = options.find(([, selected]) => !selected)[0];
  await page.select('#computer-select', first);
  await waitText('headline', /^Asleep$/);
  await page.tap('[data-wake="1"]');
  await waitText('headline', /^Awake until/);
  assert.ok(desk.status().awakeUntil);
  assert.equal(den.status().awakeUntil, undefined);

  await page.tap('.manage summary');
  await page.tap('#forget');
  await page.tap('#forget');
  await page.waitForFunction(() => document.querySelectorAll('#computer-select option').length === 1, { timeout: 10000 });
  assert.equal(problems.filter((p) => /Content Security Policy|Uncaught/.test(p)).join('\n'), '');
});

test('a broken pairing link is refused with a sentence, and the page stays usable', async () => {
  await page.goto(`${relayURL}/phone/#${encodeURIComponent('torvo://pair?v=2')}`, { waitUntil: 'load' });
  await waitText('banner', /version 2/, 10);
  assert.ok(!page.url().includes('#'));
  assert.ok(await visible('computer'), 'the paired computer is still shown');
});
