// A friend of the site opens the listeners' page: it asks for an access code, refuses an expired
// one, and with a good one shows the four radios' displays (moving as the radios do), their
// levels and Listen, and nothing that drives the server. Listen plays channel 1 through the live
// path: decoded frames reach the worklet, no decoder error, and the page says how far behind
// the radio it plays. A code for channel 2 only cannot open channel 1 (the server refuses), a
// full channel and a code at its limit refuse more listeners, and the public listening port
// serves the same page and none of the console, and its HTTP streams only to a code's channels,
// within the code's limit shared with its live sockets. The page carries the site's name and its
// displays fit their cards on a desktop window and a phone.
import assert from 'node:assert/strict';
import { story, makeRig, startRadios, startAudio, startServer, launchBrowser, openPage, eventually, screenshot, log } from '../lib/harness.mjs';

const TOKEN = 'operator-token-0123456789';

story('listeners_page', async () => {
  const rig = makeRig();
  const sim = await startRadios(rig);
  const env = await startAudio(rig);
  const config = `[listen]
public_port = ${rig.sparePort}
max_listeners = 2
site_name = "Harbour Radio Club"
codes = [
  { label = "Club", code = "club-code-789" },
  { label = "Ferry crew", code = "ferry-two-123", channels = [2], max_listeners = 1 },
  { label = "Last summer", code = "old-code-456", expires = 2020-09-01 },
]
`;
  const srv = await startServer(rig, { env, token: TOKEN, config });
  const browser = await launchBrowser();
  const page = await openPage(browser, null);
  const paths = [];
  page.on('request', (r) => paths.push(new URL(r.url()).pathname));
  await page.goto(`${srv.origin}/live`);

  // Does this Chromium decode Opus with WebCodecs at all? The live path depends on it.
  const webcodecs = await page.evaluate(async () => typeof AudioDecoder !== 'undefined' &&
    (await AudioDecoder.isConfigSupported({ codec: 'opus', sampleRate: 48000, numberOfChannels: 1 })).supported);
  assert.ok(webcodecs, 'Chromium decodes Opus with WebCodecs');

  // The site's name in the title and heading; nothing said before anything was typed.
  await page.waitForSelector('#code-form:not([hidden])');
  assert.equal(await page.title(), 'Harbour Radio Club: listen');
  assert.equal(await page.textContent('#site'), 'Harbour Radio Club');
  assert.equal(await page.textContent('#page-state'), '');
  assert.equal(await page.textContent('#code-state'), '');
  await screenshot(page, 'listeners-code-form');

  // The code: an expired one is refused by the server, a good one opens the page.
  await page.fill('#code', 'old-code-456');
  await page.click('#code-form button');
  await eventually(async () => (await page.textContent('#code-state')) === 'this access code has expired', 'the expired code refused');
  await page.fill('#code', 'club-code-789');
  await page.click('#code-form button');
  await page.waitForSelector('.strip-card[data-channel="4"]', { timeout: 20000 });
  assert.equal(await page.textContent('#who'), 'Access: Club');
  log('signed in with a code');

  // Nothing of the operator's: no controls of the window, no buttons but Listen, the console's
  // API refuses this browser, and the page never asked for it.
  assert.equal(await page.locator('[data-control]').count(), 0);
  assert.deepEqual([...new Set(await page.$$eval('button:visible', (b) => b.map((x) => x.textContent)))], ['Listen']);
  const api = await page.evaluate(async () => (await fetch('/api/window')).status);
  assert.equal(api, 401);
  const action = await page.evaluate(async () => (await fetch('/api/action', { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: '{"action":"click","id":"Command1(0)"}' })).status);
  assert.equal(action, 401);

  // The display follows the radio.
  sim.send('1 show LISTENER HELLO');
  await eventually(async () => (await page.getAttribute('.strip-card[data-channel="1"] .lcd', 'aria-label')).includes('LISTENER HELLO'),
    'channel 1 display on the listeners\' page', 20000);
  // Levels arrive for the channels that capture.
  await eventually(async () => (await page.getAttribute('.strip-card[data-channel="1"] [role="meter"]', 'data-state')) === 'sound', 'channel 1 level', 30000);
  log('display and level');

  // Listen: live frames decoded into the worklet, the delay shown.
  const card1 = '.strip-card[data-channel="1"]';
  await page.click(`${card1} .listen-btn`);
  await eventually(async () => (await page.textContent(`${card1} .listen-state`)) === 'Playing live', 'channel 1 playing live', 30000);
  const live = await eventually(async () => {
    const a = await page.$eval(`${card1} audio`, (x) => ({ ...x.dataset }));
    return Number(a.frames) >= 100 && a;
  }, 'two seconds of frames in the worklet', 30000);
  assert.equal(live.stream, '/live/audio/1');
  assert.equal(live.decodeErrors, '0');
  assert.equal(await page.textContent(`${card1} .listen-note`), '');
  const delayMs = Number(await page.getAttribute(`${card1} .listen-delay`, 'data-ms'));
  assert.ok(Number.isFinite(delayMs) && delayMs > 0, `a delay is shown (${delayMs} ms)`);
  assert.match(await page.textContent(`${card1} .listen-delay`), /^\d+\.\d\d s behind$/);
  log(`playing live, ${delayMs} ms behind the radio`);
  const metrics = await (await fetch(`${srv.origin}/metrics`, { headers: { Authorization: `Bearer ${TOKEN}` } })).text();
  assert.match(metrics, /^quillon_audio_clients\{channel="1",output="live"\} 1$/m);
  await screenshot(page, 'listeners-page');
  // Every display fits its card, on a desktop window and on a phone.
  const overflowing = (p) => p.$$eval('.strip-card', (cards) => cards.flatMap((card) => {
    const box = card.getBoundingClientRect();
    return [...card.querySelectorAll('*')].filter((e) => {
      const r = e.getBoundingClientRect();
      return r.width > 0 && (r.left < box.left - 0.5 || r.right > box.right + 0.5);
    }).map((e) => `${card.dataset.channel}: ${e.className}`);
  }));
  assert.deepEqual(await overflowing(page), [], 'nothing sticks out of a card at 1280 px');
  const phone = await openPage(browser, `${srv.origin}/live`, { width: 390, height: 844 });
  await phone.waitForSelector('#code-form:not([hidden])');
  await phone.fill('#code', 'club-code-789');
  await phone.click('#code-form button');
  await phone.waitForSelector('.strip-card[data-channel="4"]', { timeout: 20000 });
  assert.deepEqual(await overflowing(phone), [], 'nothing sticks out of a card on a phone');
  assert.ok(await phone.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth), 'no sideways scrolling on a phone');
  await screenshot(phone, 'listeners-page-phone');

  // In-page sockets, to see what the server says to a listener it refuses.
  const tryListen = (p, channel) => p.evaluate((n) => new Promise((resolve) => {
    const ws = new WebSocket(`ws://${location.host}/live/audio/${n}`);
    ws.binaryType = 'arraybuffer';
    ws.onmessage = (e) => {
      if (typeof e.data === 'string') resolve(JSON.parse(e.data));
      else { window.kept = [...(window.kept ?? []), ws]; resolve({ type: 'audio' }); }
    };
    ws.onclose = () => resolve({ type: 'closed' });
  }), channel);

  // The channel takes two listeners: the page's and one more; a third is refused.
  assert.deepEqual(await tryListen(page, 1), { type: 'audio' });
  const full = await tryListen(page, 1);
  assert.equal(full.type, 'refused');
  assert.equal(full.status, 503);
  assert.equal(full.message, 'channel 1 is full: 2 listeners already');

  // The ferry crew's code: channel 2 only, one listener at a time.
  const crew = await openPage(browser, `${srv.origin}/live`);
  await crew.waitForSelector('#code-form:not([hidden])');
  await crew.fill('#code', 'ferry-two-123');
  await crew.click('#code-form button');
  await crew.waitForSelector('.strip-card[data-channel="2"]', { timeout: 20000 });
  assert.deepEqual(await crew.$$eval('.strip-card', (c) => c.map((x) => x.dataset.channel)), ['2']);
  const other = await tryListen(crew, 1);
  assert.equal(other.type, 'refused');
  assert.equal(other.status, 403);
  assert.equal(other.message, 'this access code does not include channel 1');
  assert.deepEqual(await tryListen(crew, 2), { type: 'audio' });
  const second = await tryListen(crew, 2);
  assert.equal(second.status, 503);
  assert.equal(second.message, 'this access code is in use by 1 listeners already');
  log('codes and limits hold');

  // The public listening port: the same page at /, none of the console.
  const pub = `http://127.0.0.1:${rig.sparePort}`;
  const home = await fetch(`${pub}/`);
  assert.equal(home.status, 200);
  assert.match(await home.text(), /js\/live\.js/);
  assert.equal((await fetch(`${pub}/api/window`)).status, 404);
  assert.equal((await fetch(`${pub}/index.html`)).status, 404);
  // Its HTTP streams ask for a code as the live path does: a code opens its channels only.
  assert.equal((await fetch(`${pub}/listen/1.ogg`)).status, 401);
  const signedIn = await fetch(`${pub}/live/session`, { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify({ code: 'ferry-two-123' }) });
  assert.equal(signedIn.status, 200);
  const cookie = signedIn.headers.get('set-cookie').split(';')[0];
  assert.equal((await fetch(`${pub}/listen/1.ogg`, { headers: { cookie } })).status, 403);
  // The code's one listener still listens live on the crew's page: its place counts here too.
  const busy = await fetch(`${pub}/listen/2.ogg`, { headers: { cookie } });
  assert.equal(busy.status, 503);
  assert.match(await busy.text(), /this access code is in use by 1 listeners already/);
  await crew.evaluate(() => { for (const ws of window.kept ?? []) ws.close(); });
  const stream = await eventually(async () => {
    const r = await fetch(`${pub}/listen/2.ogg`, { headers: { cookie } });
    if (r.status === 200) return r;
    await r.body?.cancel();
    return null;
  }, 'the code\'s place given back when its live socket closed');
  await stream.body.cancel();

  await page.click(`${card1} .listen-btn`);
  assert.equal(await page.textContent(`${card1} .listen-state`), 'Stopped');
  assert.deepEqual(paths.filter((p) => p.startsWith('/api/') && p !== '/api/window' && p !== '/api/action'), []);
  assert.deepEqual(page.problems.filter((p) => !/40[13]/.test(p)), []);
});
