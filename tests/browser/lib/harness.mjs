// Runs the real server with simulated radios on pseudo-terminals and drives its console page
// in Debian's Chromium. Each story is one script; it exits 0 (passed), 1 (failed) or 77
// (skipped: no Chromium on this machine).
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import net from 'node:net';
import assert from 'node:assert/strict';

export const SKIP = 77;
export const CHROMIUM = process.env.QUILLON_CHROMIUM || '/usr/bin/chromium';
const BIN = process.env.QUILLON_BIN;
const SIM = process.env.QUILLON_SIM;
export const ARTIFACTS = process.env.QUILLON_ARTIFACTS || path.join(os.tmpdir(), 'quillon-browser-artifacts');

const cleanups = [];
export function onCleanup(fn) {
  cleanups.push(fn);
}

export function log(...args) {
  console.log(`[${new Date().toISOString().slice(11, 23)}]`, ...args);
}

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Polls fn until it returns a truthy value; fails with `what` after `ms`.
export async function eventually(fn, what, ms = 20000) {
  const until = Date.now() + ms;
  let last;
  for (;;) {
    try {
      last = await fn();
      if (last) return last;
    } catch (e) {
      last = e;
    }
    if (Date.now() > until) throw new Error(`timed out waiting for ${what} (last: ${last instanceof Error ? last.message : JSON.stringify(last)})`);
    await sleep(150);
  }
}

// Runs a story: sets up, runs, cleans up, exits with the right code.
export async function story(name, body) {
  if (!fs.existsSync(CHROMIUM)) {
    console.log(`${name}: skipped, ${CHROMIUM} is not installed`);
    process.exit(SKIP);
  }
  assert.ok(BIN && SIM, 'QUILLON_BIN and QUILLON_SIM must name the server and the simulator');
  fs.mkdirSync(ARTIFACTS, { recursive: true });
  const timeout = setTimeout(() => {
    console.error(`${name}: took longer than 240 s`);
    finish(1);
  }, 240000);
  let code = 0;
  try {
    await body();
    log(`${name}: passed`);
  } catch (e) {
    console.error(`${name}: FAILED\n${e.stack ?? e}`);
    code = 1;
  }
  clearTimeout(timeout);
  await finish(code);
}

async function finish(code) {
  for (const fn of cleanups.reverse()) {
    try {
      await fn();
    } catch (e) {
      console.error('cleanup:', e.message);
    }
  }
  cleanups.length = 0;
  for (const p of sanitized) {
    if (/ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:/.test(p.err)) {
      console.error(`${p.name} reported a sanitizer error:\n${p.err}`);
      code = 1;
    }
  }
  process.exit(code);
}

// Processes whose standard error is checked for sanitizer reports when the story ends.
const sanitized = [];

class Proc {
  constructor(name, args, opts) {
    this.name = name;
    this.out = '';
    this.err = '';
    this.child = spawn(args[0], args.slice(1), { stdio: ['pipe', 'pipe', 'pipe'], ...opts });
    this.child.stdout.on('data', (d) => { this.out += d; });
    this.child.stderr.on('data', (d) => { this.err += d; });
    this.exited = new Promise((resolve) => this.child.on('exit', (code, signal) => resolve({ code, signal })));
    this.exitCode = undefined;
    this.exited.then((r) => { this.exitCode = r.code; });
  }
  running() {
    return this.exitCode === undefined;
  }
  async stop(signal = 'SIGTERM', ms = 30000) {
    if (!this.running()) return this.exited;
    this.child.kill(signal);
    const r = await Promise.race([this.exited, sleep(ms).then(() => null)]);
    if (r) return r;
    this.child.kill('SIGKILL');
    return this.exited;
  }
}

// A private data directory: hive with private data/audio ports, stored switches and site name.
// `settings` adds stored values ({ audiodevice4: '4' }).
export function makeRig({ channels = [true, true, true, true], site = 'Harbour', settings = {} } = {}) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quillon-browser-'));
  const data = path.join(dir, 'data');
  fs.mkdirSync(path.join(data, 'registry'), { recursive: true });
  fs.mkdirSync(path.join(data, 'ports'), { recursive: true });
  // Under ctest each slot of tests/resources.json has ports of its own (as tests/support/net.hpp).
  const slot = /id:(\d+)/.exec(process.env.CTEST_RESOURCE_GROUP_0_PROCESSES || '');
  const base = slot && Number(slot[1]) <= 2 ? 12000 + Number(slot[1]) * 6000 + (process.pid % 490) * 12 : 30000 + (process.pid % 200) * 12;
  const names = ['tcpport1', 'tcpport3', 'tcpport4', 'tcpport5', 'tcpport6', 'tcpport7', 'tcpport8', 'tcpport9'];
  const lines = ['REGEDIT4', '', '[HKEY_LOCAL_MACHINE\\Software\\Drovani\\Quillon785\\settings]'];
  names.forEach((n, i) => lines.push(`"${n}"="${base + i}x"`));
  [2, 3, 4].forEach((c) => lines.push(`"channel${c}ena"="${channels[c - 1] ? 1 : 0}x"`));
  lines.push(`"serverID1"="${site}x"`);
  for (const [name, value] of Object.entries(settings)) lines.push(`"${name}"="${value}x"`);
  fs.writeFileSync(path.join(data, 'registry', 'hklm.reg'), lines.join('\r\n') + '\r\n');
  onCleanup(() => fs.rmSync(dir, { recursive: true, force: true }));
  return { dir, data, dataPort: (ch) => base + [0, 2, 4, 6][ch - 1], sparePort: base + 8 };
}

// Four simulated radios on DATA/ports/com1..com4. `send` writes one command line. Radios named
// in `sounding` sound into RIG/audio/radioN.pcm (see startAudio).
export async function startRadios(rig, { sounding = [] } = {}) {
  const args = [SIM];
  for (let n = 1; n <= 4; ++n) {
    args.push('--link', path.join(rig.data, 'ports', `com${n}`), '--model', n % 2 ? 'BC785' : 'BC796');
    if (sounding.includes(n)) args.push('--audio', path.join(rig.dir, 'audio', `radio${n}.pcm`));
  }
  fs.mkdirSync(path.join(rig.dir, 'audio'), { recursive: true });
  const sim = new Proc('sim', args, { cwd: rig.dir });
  sanitized.push(sim);
  onCleanup(() => sim.stop());
  await eventually(() => /^ready/m.test(sim.out + sim.err), 'the simulated radios');
  sim.send = (line) => sim.child.stdin.write(line + '\n');
  // Commands radio n has answered so far.
  sim.commands = async (n) => {
    const mark = sim.out.length;
    sim.send(`${n} stats`);
    const line = await eventually(() => sim.out.slice(mark).match(new RegExp(`^radio ${n}: .*commands (\\d+)`, 'm')), `stats of radio ${n}`, 5000);
    return Number(line[1]);
  };
  return sim;
}

// The demo's simulated audio (scripts/demo-audio): a private PulseAudio whose default input is
// a 440 Hz sine. Returns the environment the server needs to capture it; the ALSA configuration
// of the simulated radios is left out, so the server's device list is empty and a channel set
// to a device number captures nothing. With `radios`, the configuration is in, and its devices
// 0 to 3 ("Simulated radio 1..4" on a machine without sound cards) play what the radios
// started with `sounding` sound; a device whose radio does not sound cannot be opened.
export async function startAudio(rig, { radios = false } = {}) {
  const script = path.join(path.dirname(new URL(import.meta.url).pathname), '../../../scripts/demo-audio');
  const dir = path.join(rig.dir, 'audio');
  const out = await new Promise((resolve, reject) => {
    const env = radios ? { ...process.env, QUILLON_DEMO_RADIO_AUDIO: dir } : process.env;
    const p = spawn(script, ['start', dir], { stdio: ['ignore', 'pipe', 'inherit'], env });
    let text = '';
    p.stdout.on('data', (d) => { text += d; });
    p.on('exit', (code) => (code === 0 ? resolve(text) : reject(new Error(`demo-audio exited with ${code}`))));
  });
  onCleanup(() => new Promise((resolve) => spawn(script, ['stop', dir], { stdio: 'ignore' }).on('exit', resolve)));
  const m = out.match(/^export PULSE_SERVER=(.*)$/m);
  assert.ok(m, `demo-audio printed no PULSE_SERVER: ${out}`);
  const alsa = out.match(/^export ALSA_CONFIG_PATH=(.*)$/m);
  return radios ? { PULSE_SERVER: m[1], ALSA_CONFIG_PATH: alsa[1] } : { PULSE_SERVER: m[1] };
}

// The real server on a private console port; with `token`, the console requires it; `env` adds
// to its environment; `config` is the text of its TOML configuration.
export async function startServer(rig, { token, port = 0, env, config } = {}) {
  const args = [BIN, '--data-dir', rig.data, '--console', `127.0.0.1:${port}`];
  if (config) {
    const file = path.join(rig.dir, 'quillon.toml');
    fs.writeFileSync(file, config);
    args.push('--config', file);
  }
  if (token) {
    const file = path.join(rig.dir, 'console.token');
    fs.writeFileSync(file, token + '\n', { mode: 0o600 });
    args.push('--console-token-file', file);
  }
  const srv = new Proc('server', args, { cwd: rig.dir, env: env ? { ...process.env, ...env } : undefined });
  sanitized.push(srv);
  onCleanup(() => srv.stop());
  const m = await eventually(() => srv.err.match(/operator console at (https?:\/\/[^\s/]+)/) || (!srv.running() && Promise.reject(new Error(`server exited: ${srv.err}`))),
    'the console address', 30000);
  srv.origin = m[1];
  srv.port = Number(new URL(srv.origin).port);
  log(`server at ${srv.origin}`);
  return srv;
}

export async function launchBrowser() {
  const { chromium } = await import('playwright-core');
  const browser = await chromium.launch({
    executablePath: CHROMIUM,
    args: ['--disable-gpu', '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--no-first-run', '--disable-quic', '--autoplay-policy=no-user-gesture-required'],
  });
  onCleanup(() => browser.close());
  return browser;
}

// A page with its console errors, page errors and dialogs recorded; alert() and friends fail.
export async function openPage(browser, url, { width = 1280, height = 900 } = {}) {
  const context = await browser.newContext({ viewport: { width, height } });
  const page = await context.newPage();
  page.problems = [];
  page.on('console', (m) => {
    if (m.type() === 'error') page.problems.push(`console error: ${m.text()}`);
  });
  page.on('pageerror', (e) => page.problems.push(`page error: ${e.message}`));
  page.on('dialog', (d) => {
    page.problems.push(`script dialog: ${d.type()} ${d.message()}`);
    d.dismiss().catch(() => {});
  });
  if (url) await page.goto(url);
  return page;
}

// Waits until the page shows the live model.
export async function whenLive(page, ms = 20000) {
  await page.waitForFunction(() => document.body.dataset.connection === 'live', null, { timeout: ms });
}

export const sel = (id) => `[data-control="${id}"]`;

export async function screenshot(page, name) {
  const file = path.join(ARTIFACTS, `${name}.png`);
  await page.screenshot({ path: file, fullPage: true });
  return file;
}

// The data port of channel `ch`: connect a client that sends `text`.
export function dataClient(port, text) {
  return new Promise((resolve, reject) => {
    const s = net.connect(port, '127.0.0.1', () => {
      if (text) s.write(text);
      resolve(s);
    });
    s.on('error', reject);
    s.on('data', () => {});
    onCleanup(() => s.destroy());
  });
}

export async function windowJson(origin, headers = {}) {
  const r = await fetch(`${origin}/api/window`, { headers });
  assert.equal(r.status, 200, `GET /api/window answered ${r.status}`);
  return r.json();
}

// Until these channels capture and wait for a call (their Calls state on the Audio page): a
// squelch that opens before a channel's capture runs is a transmission nobody recorded.
export async function whenRecording(origin, channels, ms = 60000) {
  await eventually(async () => {
    const { controls } = await windowJson(origin);
    return channels.every((n) => controls.find((c) => c.id === `lblCalls(${n - 1})`)?.caption === 'waiting for a call');
  }, `channels ${channels.join(', ')} waiting for a call`, ms);
}
