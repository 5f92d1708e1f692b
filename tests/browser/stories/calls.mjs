// A listener who missed the radio catches up on the Calls page: the simulated radios stop on
// channels when told to (squelch open, a 440 Hz tone on the audio input) and the server records
// each transmission. The page lists the calls newest first as the server does, plays one (the
// audio element's time advances), a text filter narrows the list (and lands in the address),
// live mode plays a newly stored call by itself and queues calls while paused, playing them in
// the order they came, and a #call= link opens that call and plays it. The calls go to two call
// servers: one takes them all, the other refuses the first call and then the key; the page shows
// each server's state (the second paused, saying why) and per call where it went. Two radios on
// one transmission make one row that says where else it was heard and plays the other recording.
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { story, onCleanup, makeRig, startRadios, startAudio, startServer, launchBrowser, openPage, whenLive, eventually, whenRecording, screenshot, log } from '../lib/harness.mjs';

const require = createRequire(import.meta.url);
const axeSource = fs.readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');

// Serious accessibility faults of the page, and how far it is wider than the screen.
async function check(page) {
  await page.evaluate(axeSource);
  const result = await page.evaluate(() => window.axe.run(document, { resultTypes: ['violations'] }));
  const faults = result.violations.filter((v) => v.impact === 'serious' || v.impact === 'critical')
    .map((v) => `${v.id} (${v.impact}): ${v.nodes.slice(0, 3).map((n) => n.target.join(' ')).join(', ')}`);
  const overflow = await page.evaluate(() => document.documentElement.scrollWidth - document.documentElement.clientWidth);
  return { faults, overflow };
}

const CONFIG = `[calls]
hang_ms = 1000
min_ms = 500
`;

// An rdio-scanner call server on a private port; `answer(n)` gives the nth upload's status and text.
async function callServer(answer) {
  const server = http.createServer((req, res) => {
    let bytes = 0;
    req.on('data', (d) => { bytes += d.length; });
    req.on('end', () => {
      const ok = req.method === 'POST' && req.url === '/api/call-upload' && bytes > 0;
      const [status, text] = ok ? answer(++server.uploads) : [404, 'Not found'];
      res.writeHead(status, { 'Content-Type': 'text/plain' }).end(text);
    });
  });
  server.uploads = 0;
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  onCleanup(() => new Promise((resolve) => server.close(resolve)));
  return server;
}

story('calls', async () => {
  // Channels 1 to 3 hear their radios (a tone while the squelch is open); channel 4's device
  // plays a radio that does not sound, so it cannot be opened: that channel records nothing.
  const rig = makeRig({ settings: { audiodevice1: '1', audiodevice2: '2', audiodevice3: '3', audiodevice4: '4' } });
  const sim = await startRadios(rig, { sounding: [1, 2, 3] });
  sim.send('all auto off');
  const env = await startAudio(rig, { radios: true });
  const club = await callServer(() => [200, 'Call imported successfully.']);
  const region = await callServer((n) => (n === 1 ? [417, 'Incomplete call data: no talkgroup'] : [401, 'Invalid API key']));
  const keyFile = path.join(rig.dir, 'rdio.secret');
  fs.writeFileSync(keyFile, 'secret-key\n', { mode: 0o600 });
  const destination = (name, server) => `[[calls.upload]]\nname = "${name}"\ntype = "rdio-scanner"\n` +
    `url = "http://127.0.0.1:${server.address().port}"\nallow_plain_http = true\napi_key_file = "${keyFile}"\nsystem = 12\n`;
  const srv = await startServer(rig, { env, config: `${CONFIG}\n${destination('club', club)}\n${destination('region', region)}` });
  const api = async (query = '') => {
    const r = await fetch(`${srv.origin}/api/calls${query}`);
    assert.equal(r.status, 200, `GET /api/calls${query} answered ${r.status}`);
    return r.json();
  };

  // Three transmissions on three radios, each on a channel of its own tags.
  await whenRecording(srv.origin, [1, 2, 3]);
  sim.send('1 open 2500 1');
  sim.send('2 open 3000 4');
  sim.send('3 open 3500 5');
  const tagsOf = (calls) => new Set(calls.flatMap((c) => c.tags));
  const first = await eventually(async () => {
    const { calls } = await api();
    return calls.length >= 3 && calls;
  }, 'three recorded calls', 60000);
  assert.ok(tagsOf(first).size >= 2, `tags ${JSON.stringify(first.map((c) => c.tags))}`);
  log(`${first.length} calls recorded (${first.map((c) => c.duration_ms).join(", ")} ms), tags ${[...tagsOf(first)].join(', ')}`);

  const browser = await launchBrowser();
  const page = await openPage(browser, `${srv.origin}/#calls`);
  await whenLive(page);
  const rows = () => page.$$eval('.calls-list > li', (lis) => lis.map((li) => ({
    id: li.dataset.id, channel: li.dataset.channel, text: li.textContent,
    tags: [...li.querySelectorAll('.call-tag')].map((t) => t.textContent),
  })));
  const listed = await eventually(async () => {
    const r = await rows();
    return r.length >= first.length && r;
  }, 'the calls on the page');
  // Newest first, exactly the server's order; each row shows its channel and frequency.
  const now = await api(`?limit=${listed.length}`);
  assert.deepEqual(listed.map((r) => r.id), now.calls.map((c) => String(c.id)));
  const mhz = (hz) => `${(hz / 1e6).toFixed(4)} MHz`;
  listed.forEach((r, i) => {
    assert.equal(r.channel, String(now.calls[i].channel));
    assert.ok(r.text.includes(mhz(now.calls[i].frequency_hz)), `row ${r.text} shows ${mhz(now.calls[i].frequency_hz)}`);
  });
  // Where the calls went: the club took each; the region refused the first call, then the key,
  // which pauses it with its reason; its other calls wait.
  const dest = (name) => page.$eval(`.calls-dest[data-name="${name}"]`, (li) => ({ kind: li.dataset.kind, text: li.textContent })).catch(() => null);
  const paused = await eventually(async () => {
    const d = await dest('region');
    return d?.kind === 'paused' && d;
  }, 'the region paused on the page');
  assert.match(paused.text, /Paused: answered 401: Invalid API key/);
  assert.equal(region.uploads, 2, 'a paused destination sends nothing more');
  await eventually(async () => club.uploads >= first.length && /Backlog 0/.test((await dest('club'))?.text), 'the club to take every call');
  const badges = () => page.$$eval('.calls-list > li', (lis) => Object.fromEntries(lis.map((li) => [li.dataset.id,
    [...li.querySelectorAll('.call-upload')].map((b) => b.textContent)])));
  const oldest = String(first.at(-1).id);
  const shown = await eventually(async () => {
    const b = await badges();
    return Object.values(b).every((l) => l.includes('club: done')) && b[oldest].includes('region: refused (answered 417: Incomplete call data: no talkgroup)') && b;
  }, 'each call\'s destinations on its row');
  // The rows say what the server's list says, call by call.
  const stated = await api(`?limit=${listed.length}`);
  for (const c of stated.calls) {
    assert.deepEqual(shown[String(c.id)], c.uploads.map((u) => `${u.destination}: ${u.state}${u.reason && u.state !== 'done' ? ` (${u.reason})` : ''}`));
    assert.deepEqual(c.uploads.map((u) => u.destination), ['club', 'region']);
  }
  log(`uploads: club took ${club.uploads}, region ${paused.text}`);

  // Each call's loudness picture is drawn from its audio; the channel without audio is named.
  await eventually(async () => (await page.$$('.calls-list canvas[data-state="drawn"]')).length === listed.length, 'the loudness pictures');
  await eventually(async () => (await page.textContent('.calls-notice')) === 'Channel 4 has no audio input: it records no calls.', 'the note on channel 4');
  await screenshot(page, 'calls');

  // Plays a call: a click on its row, and its audio runs.
  const audio = () => page.$eval('.calls-audio', (a) => ({ time: a.currentTime, duration: a.duration, paused: a.paused, error: a.error?.code ?? null, src: a.getAttribute('src') }));
  const target = listed[1];
  await page.click(`.calls-list > li[data-id="${target.id}"] .call-row`);
  const heard = await eventually(async () => {
    const a = await audio();
    return a.time > 0.5 && a;
  }, 'the call to play');
  assert.equal(heard.error, null);
  assert.equal(heard.src, `/api/calls/${target.id}/audio`);
  assert.equal(await page.getAttribute('.calls-list > li[aria-current="true"]', 'data-id'), target.id);
  log(`call ${target.id} played ${heard.time.toFixed(1)} s`);

  // A text filter: only calls with that tag remain, and the view is in the address.
  const counts = new Map();
  for (const c of now.calls) for (const t of c.tags) counts.set(t, (counts.get(t) ?? 0) + 1);
  // A one-word tag (the bank line) that some calls have and others not.
  const [tag] = [...counts.entries()].filter(([t, n]) => n < now.calls.length && !/\s/.test(t)).sort((a, b) => b[1] - a[1])[0];
  await page.fill('#calls-q', tag);
  const narrowed = await eventually(async () => {
    const r = await rows();
    return r.length > 0 && r.length < listed.length && r.every((x) => x.tags.includes(tag)) && r;
  }, `the list narrowed to "${tag}"`);
  assert.deepEqual(narrowed.map((r) => r.id), (await api(`?q=${encodeURIComponent(tag)}`)).calls.map((c) => String(c.id)));
  const hash = await page.evaluate(() => location.hash);
  assert.equal(new URLSearchParams(hash.slice(hash.indexOf('?') + 1)).get('q'), tag);
  log(`"${tag}" leaves ${narrowed.length} of ${listed.length} calls`);
  await page.fill('#calls-q', '');
  await eventually(async () => (await rows()).length >= listed.length, 'the whole list back');

  // Live mode from the keyboard: pause the player (space), l turns live on; the next call
  // the server stores plays by itself.
  await page.evaluate(() => document.activeElement?.blur());
  await page.keyboard.press('Space');
  await eventually(async () => (await audio()).paused, 'the player paused');
  await page.keyboard.press('l');
  assert.equal(await page.getAttribute('.calls-live-btn', 'aria-pressed'), 'true');
  const newCall = async (radio, channel) => {
    const known = new Set((await rows()).map((r) => r.id));
    sim.send(`${radio} open 2000 ${channel}`);
    return eventually(async () => {
      const id = await page.$eval('.calls-list > li', (li) => li.dataset.id);
      return !known.has(id) && id;
    }, `a new call of radio ${radio} on the list`, 30000);
  };
  let seen = null;
  const playsBy = (id) => eventually(async () => {
    const a = await audio();
    seen = { ...a, status: await page.textContent('.calls-status'), queue: await page.textContent('.calls-queue') };
    return a.src === `/api/calls/${id}/audio` && a.time > 0.3 && !a.paused && a;
  }, `live mode to play call ${id}`).catch((e) => {
    throw new Error(`${e.message}; the player: ${JSON.stringify(seen)}`);
  });
  const fresh = await newCall(3, 2);
  assert.equal((await playsBy(fresh)).error, null);
  log(`live mode played the new call ${fresh}`);

  // Paused, live mode queues what comes; it plays the queue in order after Resume.
  await page.click('.calls-pause');
  const queued = [await newCall(1, 3), await newCall(2, 2)];
  assert.equal(await page.textContent('.calls-queue'), 'Queue 2');
  assert.equal((await audio()).paused, true);
  await page.click('.calls-pause');
  await page.click('.calls-skip');
  await playsBy(queued[0]);
  assert.equal(await page.textContent('.calls-queue'), 'Queue 1');
  await playsBy(queued[1]);
  assert.equal(await page.textContent('.calls-queue'), 'Queue 0');
  log(`the queue played ${queued.join(', ')} in order`);

  // Holding channel 1 and avoiding a tag: such calls are listed but not queued.
  await page.click('.calls-pause');
  await page.selectOption('.calls-hold', '1');
  await newCall(2, 1);
  const air = (await newCall(1, 3), (await rows())[0].tags.at(-1));
  assert.equal(await page.textContent('.calls-queue'), 'Queue 1', 'a call of channel 1 is queued');
  await page.selectOption('.calls-avoid-tag', air);
  await page.selectOption('.calls-avoid-for', '60');
  await page.click('.calls-avoid');
  assert.equal(await page.textContent('.calls-queue'), 'Queue 0', `the call tagged ${air} left the queue`);
  assert.match(await page.textContent('.calls-avoids'), new RegExp(`Avoiding “${air}” for (60|59) min`));
  await newCall(1, 3);
  await newCall(1, 1);
  assert.equal(await page.textContent('.calls-queue'), 'Queue 1');
  log(`held channel 1, avoided "${air}"`);

  // A link to one call opens it with its details and plays it. A page opened afresh may not
  // start sound before a click (the browser's autoplay rule): then it says so, and Play plays.
  // A call with audio to play (a channel whose capture had not started yet records a call
  // without sound).
  const linked = now.calls.filter((c) => c.duration_ms > 1000).at(-1);
  assert.ok(linked, `a call with sound among ${JSON.stringify(now.calls.map((c) => c.duration_ms))}`);
  const other = await openPage(browser, `${srv.origin}/#call=${linked.id}`);
  await whenLive(other);
  await eventually(() => other.$eval('#page-calls', (p) => !p.hidden && p.dataset.current), 'the Calls page with the linked call');
  assert.equal(await other.$eval('#page-calls', (p) => p.dataset.current), String(linked.id));
  await eventually(async () => (await other.textContent('.calls-now-title')).startsWith(`Channel ${linked.channel} `), 'the call\'s details');
  const linkAudio = () => other.$eval('.calls-audio', (x) => ({ time: x.currentTime, paused: x.paused, src: x.getAttribute('src') }));
  const state = await eventually(async () => {
    const a = await linkAudio();
    if (a.time > 0.3) return 'playing';
    return /^Press Play/.test(await other.textContent('.calls-status')) && 'waits for a click';
  }, 'the linked call to play or ask for a click');
  if (state !== 'playing') await other.click('.calls-play');
  const played = await eventually(async () => {
    const a = await linkAudio();
    return a.time > 0.3 && a;
  }, 'the linked call to play');
  assert.equal(played.src, `/api/calls/${linked.id}/audio`);
  log(`the link opened call ${linked.id}: ${state}`);
  await screenshot(other, 'calls-link');

  // Two radios stop on the same transmission (NRK P1, 100.2000 MHz): the list shows it once as
  // its stronger recording, saying where else it was heard, with a button that plays the other
  // recording; the club gets it once, the other recording marked linked.
  await page.click('.calls-live-btn');
  assert.equal(await page.getAttribute('.calls-live-btn', 'aria-pressed'), 'false');
  sim.send('1 open 3000 5');
  sim.send('2 open 3000 5');
  const pair = await eventually(async () => {
    const { calls } = await api('?limit=5');
    return calls.find((c) => c.heard_on.length === 2 && c.linked.length === 1) ?? false;
  }, 'the transmission heard by radios 1 and 2', 30000);
  const second = pair.linked[0];
  assert.deepEqual(pair.heard_on, [1, 2]);
  assert.equal(pair.best, pair.id);
  assert.ok(pair.signal_max >= second.signal_max, `the one played is the stronger: ${pair.signal_max} against ${second.signal_max}`);
  const pairRow = await eventually(async () => {
    const r = await rows();
    const row = r.find((x) => x.id === String(pair.id));
    return row && !r.some((x) => x.id === String(second.id)) && row.text.includes(`also on CH ${second.channel}`) && row;
  }, 'one row for the transmission, saying where else it was heard');
  assert.ok(pairRow.text.includes(`CH ${second.channel}'s recording`), pairRow.text);
  await page.click(`.calls-list > li[data-id="${pair.id}"] .call-also-play`);
  assert.equal((await audio()).src, `/api/calls/${second.id}/audio`);
  const clubStates = async () => {
    const r = await fetch(`${srv.origin}/api/calls/uploads`);
    const { calls } = await r.json();
    return calls.filter((c) => c.destination === 'club' && (c.call === pair.id || c.call === second.id)).map((c) => c.state).sort();
  };
  const states = await eventually(async () => {
    const s = await clubStates();
    return s.length === 2 && s.every((x) => x === 'done' || x === 'linked') && s;
  }, 'the club to take the transmission', 30000);
  assert.deepEqual(states, ['done', 'linked']);
  log(`calls ${pair.id} and ${second.id}: one transmission on channels ${pair.heard_on.join(' and ')}, sent once`);
  await screenshot(page, 'calls-linked');

  // On a phone: the list, the player and live mode fit the screen and pass the scan.
  const phone = await openPage(browser, `${srv.origin}/#calls`, { width: 360, height: 780 });
  await whenLive(phone);
  await eventually(async () => (await phone.$$('.calls-list > li')).length > 0, 'the calls on a phone');
  assert.deepEqual(await check(phone), { faults: [], overflow: 0 });
  assert.deepEqual(await check(page), { faults: [], overflow: 0 });
  await screenshot(phone, 'calls-360');
  assert.deepEqual(phone.problems, []);

  assert.deepEqual(page.problems, []);
  assert.deepEqual(other.problems, []);
});
