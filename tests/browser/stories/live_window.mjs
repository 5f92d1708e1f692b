// The operator opens the console: the whole window is there, drawn from the live model, and
// the four radios' displays move as the radios do.
import assert from 'node:assert/strict';
import { story, makeRig, startRadios, startServer, launchBrowser, openPage, whenLive, eventually, sel, windowJson, log } from '../lib/harness.mjs';

story('live_window', async () => {
  const rig = makeRig();
  await startRadios(rig);
  const srv = await startServer(rig);
  const browser = await launchBrowser();
  const page = await openPage(browser, `${srv.origin}/`);
  await whenLive(page);

  // Every control of the model has exactly one element of its own.
  const win = await windowJson(srv.origin);
  const ids = win.controls.map((c) => c.id);
  assert.ok(ids.length > 200, `the model has ${ids.length} controls`);
  const counts = await page.evaluate((all) => all.map((id) => document.querySelectorAll(`[data-control="${CSS.escape(id)}"]`).length), ids);
  const wrong = ids.filter((id, i) => counts[i] !== 1).map((id, i) => `${id}`);
  assert.deepEqual(wrong, [], 'controls without exactly one element');

  // Caption, title label in a fixed-pitch font, the six main pages in order, then Calls and Activity.
  assert.equal(await page.textContent('#caption'), win.caption);
  assert.equal(await page.textContent(sel('Label2')), 'ORBIDEX');
  const font = await page.$eval(sel('Label2'), (e) => getComputedStyle(e).fontFamily);
  assert.match(font, /mono/i);
  assert.deepEqual(await page.$$eval(`${sel('SSTab1')} [role=tab]`, (t) => t.map((x) => x.textContent)),
    ['Scanner 1', 'Scanner 2', 'Scanner 3', 'Scanner 4', 'Status', 'Audio', 'Calls', 'Activity']);

  // Fixed captions and hover texts a newcomer looks for.
  const text = await page.evaluate(() => document.body.innerText);
  for (const caption of ['LCD data:', 'Dataport:', 'Audioport:', 'Default SampleRate:', 'Audio Device #:', 'Text ID:']) assert.ok(text.includes(caption), caption);
  assert.equal(await page.getAttribute(sel('comdata(4)'), 'title'), 'Green: Communication OK');

  // The four displays: 4 lines of 16 characters, the same text as the raw field, moving.
  const displays = async () => page.$$eval('.radio .lcd', (ls) => ls.map((l) => [...l.querySelectorAll('.lcd-line')].map((x) => x.textContent)));
  const first = await eventually(async () => {
    const d = await displays();
    return d.length === 4 && d.every((lines) => lines.some((x) => x.trim())) && d;
  }, 'four displays with radio text');
  for (const lines of first) {
    assert.equal(lines.length, 4);
    for (const line of lines) assert.equal(line.length, 16);
  }
  const raw = await page.inputValue(sel('text5(0)'));
  assert.ok(raw.includes(`[${first[0][1]}]`), `raw text ${JSON.stringify(raw)} holds line 2 ${JSON.stringify(first[0][1])}`);
  await eventually(async () => {
    const now = await displays();
    return now.every((lines, i) => lines.join('|') !== first[i].join('|'));
  }, 'every display to change', 30000);
  log('four displays live');

  // Lamps: the serial lamp of each channel turns green; the strip shows all four channels.
  await eventually(() => page.$$eval('.strip-card .lamp', (ls) => ls.filter((l) => l.className.includes('lamp-green')).length >= 4), 'strip lamps green');
  assert.equal(await page.$eval(sel('comdata(0)'), (e) => e.className.includes('lamp-green')), true);
  assert.equal(await page.locator('.strip-card').count(), 4);

  // Readings under each display follow the decoded fields; the readout keeps them whole.
  const level = await eventually(async () => (await page.textContent(sel('Label4(1)'))).match(/^SIGLVL\$=(\d+)$/), 'channel 1 signal level');
  await eventually(async () => (await page.$$eval('#page-scanner1 .readings dd', (d) => d.map((x) => x.textContent))).some((t) => /^\d+$/.test(t)), 'the level under the display');
  assert.ok(Number(level[1]) >= 0);

  // About box and its Ok; timers only on the diagnostics view, live.
  await page.click(sel('mnu_about'));
  const about = page.locator(sel('frmabout'));
  await eventually(() => about.isVisible(), 'the about box');
  assert.equal(await page.textContent(sel('lblVersion')), '1.300 BETA');
  await about.getByRole('button', { name: 'Ok' }).click();
  await eventually(async () => !(await about.isVisible()), 'the about box to close');
  assert.equal(await page.locator('#page-scanner1 [data-kind=timer]').count(), 0);
  await page.click('#diag-link');
  assert.equal(await page.textContent(`${sel('Timer4')} td:nth-child(2)`), '50');
  assert.equal(await page.textContent(`${sel('Timer4')} td:nth-child(3)`), 'on');
  // The view asks the server for the timers' changes: switching channel 3 off stops its timer.
  const timer7 = `${sel('Timer7(2)')} td:nth-child(3)`;
  await eventually(async () => (await page.textContent(timer7)) === 'on', 'channel 3 timer on');
  const setCheck = (value) => page.evaluate((v) => fetch('/api/action', {
    method: 'POST', headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ action: 'set_value', control: 'Check1', index: 1, value: v }),
  }).then((r) => r.status), value);
  assert.equal(await setCheck(0), 200);
  await eventually(async () => (await page.textContent(timer7)) === 'off', 'channel 3 timer off on the diagnostics view');
  assert.equal(await setCheck(1), 200);
  await eventually(async () => (await page.textContent(timer7)) === 'on', 'channel 3 timer on again');

  assert.deepEqual(page.problems, []);
});
