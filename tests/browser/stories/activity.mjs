// An owner tunes the scan list by what is active: the simulated radios stop on channels (squelch
// open, a tone on the audio input) and the server records each transmission. The Activity tab
// shows them as the server counts them: the timeline has a bar per call in its channel's lane, the
// heat map and the busiest lists carry the server's figures as text; a click on a bar plays that
// call; a frequency of the list narrows the view (and the address); on a phone it all fits the
// screen and passes the accessibility scan.
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import fs from 'node:fs';
import { story, makeRig, startRadios, startAudio, startServer, launchBrowser, openPage, whenLive, eventually, whenRecording, screenshot, log } from '../lib/harness.mjs';

const require = createRequire(import.meta.url);
const axeSource = fs.readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');

async function check(page) {
  await page.evaluate(axeSource);
  const result = await page.evaluate(() => window.axe.run(document, { resultTypes: ['violations'] }));
  const faults = result.violations.filter((v) => v.impact === 'serious' || v.impact === 'critical')
    .map((v) => `${v.id} (${v.impact}): ${v.nodes.slice(0, 3).map((n) => n.target.join(' ')).join(', ')}`);
  const overflow = await page.evaluate(() => document.documentElement.scrollWidth - document.documentElement.clientWidth);
  return { faults, overflow };
}

story('activity', async () => {
  const rig = makeRig({ settings: { audiodevice1: '1', audiodevice2: '2', audiodevice3: '3', audiodevice4: '4' } });
  const sim = await startRadios(rig, { sounding: [1, 2, 3] });
  sim.send('all auto off');
  const env = await startAudio(rig, { radios: true });
  const srv = await startServer(rig, { env, config: '[calls]\nhang_ms = 1000\nmin_ms = 500\n' });
  const activity = async (query = '') => {
    const r = await fetch(`${srv.origin}/api/activity${query}`);
    assert.equal(r.status, 200, `GET /api/activity${query} answered ${r.status}`);
    return r.json();
  };

  await whenRecording(srv.origin, [1, 2, 3]);
  sim.send('1 open 2500 1');
  sim.send('2 open 3000 4');
  sim.send('3 open 3500 5');
  const counted = await eventually(async () => {
    const a = await activity();
    return a.timeline.calls.length >= 3 && a;
  }, 'three calls counted', 60000);
  assert.equal(counted.time_zone.hours, 'local');
  // A question the server cannot answer says which part is wrong; only GET is taken.
  const bad = await fetch(`${srv.origin}/api/activity?days=14`);
  assert.equal(bad.status, 400);
  assert.deepEqual(await bad.json(), { error: 'days: expected 7, 30 or 90' });
  assert.equal((await fetch(`${srv.origin}/api/activity`, { method: 'POST', headers: { Origin: srv.origin } })).status, 405);
  assert.equal(counted.totals.calls, counted.timeline.calls.length);
  log(`${counted.totals.calls} calls, ${counted.frequencies.length} frequencies, zone ${counted.time_zone.name}`);

  const browser = await launchBrowser();
  const page = await openPage(browser, `${srv.origin}/#activity`);
  await whenLive(page);
  await eventually(() => page.$eval('#page-activity', (p) => !p.hidden && p.dataset.calls), 'the Activity page drawn');
  // What the page shows is what the server counted, as text.
  const now = await activity();
  const bars = await page.$$eval('.activity-bar', (bs) => bs.map((b) => ({ id: b.dataset.id, label: b.getAttribute('aria-label'), ch: b.getAttribute('class') })));
  assert.deepEqual(bars.map((b) => b.id), now.timeline.calls.map((c) => String(c.id)));
  now.timeline.calls.forEach((c, i) => {
    assert.ok(bars[i].label.startsWith(`Channel ${c.channel}, `), bars[i].label);
    assert.ok(bars[i].ch.includes(`activity-ch${c.channel}`));
  });
  assert.match(await page.textContent('.activity-summary'), new RegExp(`^${now.totals.calls} calls, `));
  const freqRows = await page.$$eval('.activity-frequencies tbody tr', (rs) => rs.map((r) => [...r.cells].map((c) => c.textContent)));
  assert.deepEqual(freqRows.map((r) => [r[0], r[2]]), now.frequencies.map((f) => [`${(f.frequency_hz / 1e6).toFixed(4)} MHz`, String(f.calls)]));
  // Every hour of the heat map as a cell, and the figures as a table.
  const cells = await page.$$eval('.activity-heat-svg rect', (rs) => rs.length);
  assert.equal(cells, now.heatmap.days.length * 24);
  const heatRows = await page.$$eval('.activity-heat-table tbody tr', (rs) => rs.map((r) => r.cells[0].textContent));
  assert.deepEqual(heatRows, now.heatmap.days);
  const busy = now.heatmap.calls.flat().reduce((a, b) => a + b, 0);
  assert.equal(busy, now.totals.calls);
  await screenshot(page, 'activity');

  // A click on a bar plays that call.
  const target = now.timeline.calls[1];
  await page.click(`.activity-bar[data-id="${target.id}"]`);
  const heard = await eventually(async () => {
    const a = await page.$eval('.activity-audio', (x) => ({ time: x.currentTime, src: x.getAttribute('src'), error: x.error?.code ?? null }));
    return a.time > 0.3 && a;
  }, 'the clicked call to play');
  assert.equal(heard.src, `/api/calls/${target.id}/audio`);
  assert.equal(heard.error, null);
  assert.match(await page.textContent('.activity-playing'), new RegExp(`^Playing channel ${target.channel}, `));
  log(`bar ${target.id} played ${heard.time.toFixed(1)} s`);

  // A frequency of the list narrows the view to it, in the address too.
  const f = now.frequencies.at(-1);
  await page.click(`.activity-frequencies tr[data-frequency="${f.frequency_hz}"] a`);
  await eventually(async () => (await page.$$('.activity-bar')).length === f.calls, `the timeline narrowed to ${f.frequency_hz}`);
  const hash = await page.evaluate(() => location.hash);
  assert.equal(new URLSearchParams(hash.slice(hash.indexOf('?') + 1)).get('frequency_hz'), String(f.frequency_hz));
  assert.equal(await page.getAttribute('.activity-calls-link', 'href'), `#calls?frequency_hz=${f.frequency_hz}`);

  // On a phone.
  const phone = await openPage(browser, `${srv.origin}/#activity`, { width: 360, height: 780 });
  await whenLive(phone);
  await eventually(async () => (await phone.$$('.activity-bar')).length === now.timeline.calls.length, 'the timeline on a phone');
  assert.deepEqual(await check(phone), { faults: [], overflow: 0 });
  assert.deepEqual(await check(page), { faults: [], overflow: 0 });
  await screenshot(phone, 'activity-360');
  assert.deepEqual(phone.problems, []);
  assert.deepEqual(page.problems, []);
});
