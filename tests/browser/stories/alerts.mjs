// A dispatch watcher looks at what raised alerts: a rule fires on every call of channel 2, the
// alert goes to a webhook on a private port; on the Calls page the channel 2 call carries an
// Alert badge and the channel 1 call none, "Alerts only" narrows the list to the alerted calls
// (and lands in the address), the Alerts box lists the alert with where it went, and the Test
// button of the destination sends a test message and shows the answer.
import assert from 'node:assert/strict';
import http from 'node:http';
import { story, onCleanup, makeRig, startRadios, startAudio, startServer, launchBrowser, openPage, whenLive, eventually, screenshot, log } from '../lib/harness.mjs';

story('alerts', async () => {
  const rig = makeRig({ settings: { audiodevice1: '1', audiodevice2: '2' } });
  const sim = await startRadios(rig, { sounding: [1, 2] });
  sim.send('all auto off');
  const env = await startAudio(rig, { radios: true });
  const received = [];
  const hook = http.createServer((req, res) => {
    let body = '';
    req.on('data', (d) => { body += d; });
    req.on('end', () => {
      received.push(JSON.parse(body));
      res.writeHead(204).end();
    });
  });
  await new Promise((resolve) => hook.listen(0, '127.0.0.1', resolve));
  onCleanup(() => new Promise((resolve) => hook.close(resolve)));
  const config = `[calls]
hang_ms = 1000
min_ms = 500

[[alerts.rule]]
name = "Harbour"
channels = [2]
quiet_s = 0

[[alerts.send]]
name = "desk"
type = "webhook"
url = "http://127.0.0.1:${hook.address().port}/hook"
allow_plain_http = true
`;
  const srv = await startServer(rig, { env, config });
  sim.send('1 open 2500 1');
  sim.send('2 open 2500 4');
  const calls = await eventually(async () => {
    const { calls: c } = await (await fetch(`${srv.origin}/api/calls`)).json();
    return c.some((x) => x.channel === 1) && c.some((x) => x.channel === 2) && c;
  }, 'a call on channel 1 and one on channel 2', 60000);
  await eventually(async () => received.length >= calls.filter((c) => c.channel === 2).length, 'the webhook to get the alert');
  assert.ok(received.every((a) => a.kind === 'call' && a.name === 'Harbour' && a.channel === 2), JSON.stringify(received));
  const alerted = new Set(received.map((a) => String(a.call.id)));
  log(`calls ${calls.map((c) => `${c.id} on ${c.channel}`).join(', ')}; alerted ${[...alerted].join(', ')}`);

  const browser = await launchBrowser();
  const page = await openPage(browser, `${srv.origin}/#calls`);
  await whenLive(page);
  const rows = () => page.$$eval('.calls-list > li', (lis) => lis.map((li) => ({
    id: li.dataset.id, channel: li.dataset.channel, badge: li.querySelector('.call-alert')?.textContent ?? null,
  })));
  const all = await eventually(async () => {
    const r = await rows();
    return r.length >= calls.length && r;
  }, 'the calls on the page');
  for (const r of all) assert.equal(r.badge, alerted.has(r.id) ? 'Alert' : null, `row ${JSON.stringify(r)}`);

  // The alert and where it went; the destination's test button and its answer.
  const item = await eventually(async () => page.$eval('.alerts-list .alert-item', (li) => li.textContent).catch(() => null), 'the Alerts box');
  assert.match(item, /^Harbour, channel 2, \d\d:\d\d:\d\d/);
  assert.match(item, /desk: done/);
  await page.click('.calls-alerts .alerts-test');
  const answer = await eventually(async () => {
    const t = await page.textContent('.alerts-test-answer');
    return /^(Delivered|Failed)/.test(t) && t;
  }, 'the test button\'s answer');
  assert.equal(answer, 'Delivered: HTTP 204');
  assert.equal(received.at(-1).kind, 'test');
  await screenshot(page, 'alerts');

  // Alerts only: the list holds the alerted calls, and the address says so.
  await page.check('#calls-alerts');
  const only = await eventually(async () => {
    const r = await rows();
    return r.length === alerted.size && r;
  }, 'only the alerted calls');
  assert.deepEqual(new Set(only.map((r) => r.id)), alerted);
  assert.match(await page.evaluate(() => location.hash), /alerts=1/);
  assert.deepEqual(page.problems, []);
});
