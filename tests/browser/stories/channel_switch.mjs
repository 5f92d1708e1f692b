// The operator switches channel 3 on from its page: the radio on com3 starts being polled;
// off again, the polling stops. Text fields set once on Enter; a refused action shows its
// error beside the control.
import assert from 'node:assert/strict';
import { story, makeRig, startRadios, startServer, launchBrowser, openPage, whenLive, eventually, sleep, sel, windowJson, log } from '../lib/harness.mjs';

story('channel_switch', async () => {
  const rig = makeRig({ channels: [true, false, false, false] });
  const sim = await startRadios(rig);
  const srv = await startServer(rig);
  const browser = await launchBrowser();
  const page = await openPage(browser, `${srv.origin}/#scanner3`);
  await whenLive(page);

  const before = await sim.commands(3);
  await sleep(1500);
  assert.equal(await sim.commands(3), before, 'channel 3 is off: its radio hears nothing');
  assert.equal(await page.textContent('.strip-card[data-channel="3"] .badge'), 'Off');

  // On, with the keyboard.
  await page.focus(sel('Check1(1)'));
  await page.keyboard.press('Space');
  await eventually(async () => (await sim.commands(3)) > before + 10, 'radio 3 being polled');
  assert.equal(await page.isChecked(sel('Check1(1)')), true);
  await eventually(async () => (await page.textContent('#page-scanner3 .lcd')).trim().length > 0, 'display 3 showing the radio');
  assert.equal(await page.textContent('.strip-card[data-channel="3"] .badge'), 'On');
  log('channel 3 on and polled');

  // Off: the polling stops.
  await page.click(`label:has(${sel('Check1(1)')})`);
  await eventually(async () => !(await page.isChecked(sel('Check1(1)'))), 'switch off');
  await sleep(500);
  const stopped = await sim.commands(3);
  await sleep(1500);
  assert.equal(await sim.commands(3), stopped, 'channel 3 off: no more queries');
  log('channel 3 off, quiet');

  // A text field sets its text once, on Enter, and not again when it loses focus.
  const sets = [];
  page.on('request', (r) => {
    if (r.url().endsWith('/api/action') && r.postData()?.includes('set_text')) sets.push(JSON.parse(r.postData()));
  });
  await page.fill(sel('portip1(6)'), '1515');
  await page.press(sel('portip1(6)'), 'Enter');
  await page.focus(sel('portip1(7)'));
  await eventually(async () => (await windowJson(srv.origin)).controls.find((c) => c.id === 'portip1(6)').text === '1515', 'data port field set');
  await sleep(300);
  assert.deepEqual(sets, [{ action: 'set_text', control: 'portip1', index: 6, text: '1515' }]);

  // The server refuses an action: the page says why beside the control.
  await page.route('**/api/action', (route) => route.fulfill({ status: 409, contentType: 'application/json', body: '{"error":"Command7 is disabled"}' }));
  await page.click(sel('Command7'));
  const err = page.locator(`#${await page.$eval(sel('Command7'), (b) => b.getAttribute('aria-describedby'))}`);
  await eventually(() => err.isVisible(), 'the error beside the button');
  assert.equal(await err.textContent(), 'Command7 is disabled');
  await page.unroute('**/api/action');

  assert.deepEqual(page.problems.filter((p) => !/status of 409/.test(p)), []);
});
