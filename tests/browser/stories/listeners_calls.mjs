// Where calls are recorded, the listeners' page lists the recent ones of the channels its code
// may hear, and plays them: a friend with a code for channel 2 sees channel 2's call, never
// channel 1's, cannot fetch channel 1's audio by its number, and a browser without a code gets
// no list at all.
import assert from 'node:assert/strict';
import { story, makeRig, startRadios, startAudio, startServer, launchBrowser, openPage, eventually, whenRecording, log } from '../lib/harness.mjs';

story('listeners_calls', async () => {
  const rig = makeRig({ settings: { audiodevice1: '1', audiodevice2: '2' } });
  const sim = await startRadios(rig, { sounding: [1, 2] });
  sim.send('all auto off');
  const env = await startAudio(rig, { radios: true });
  const config = `[calls]
hang_ms = 1000
min_ms = 500

[listen]
public_port = ${rig.sparePort}
codes = [{ label = "Ferry crew", code = "ferry-two-123", channels = [2] }]
`;
  const srv = await startServer(rig, { env, config });
  await whenRecording(srv.origin, [1, 2]);
  sim.send('1 open 2500 1');
  sim.send('2 open 2500 4');
  const calls = await eventually(async () => {
    const { calls: c } = await (await fetch(`${srv.origin}/api/calls`)).json();
    // Another channel may record too (its input is the machine's default device): wait for
    // exactly the two channels the story reads.
    return c.some((x) => x.channel === 1) && c.some((x) => x.channel === 2) && c;
  }, 'a call on channel 1 and one on channel 2', 60000);
  const ofChannel = (n) => calls.find((c) => c.channel === n);
  log(`calls ${calls.map((c) => `${c.id} on ${c.channel}`).join(', ')}`);

  const pub = `http://127.0.0.1:${rig.sparePort}`;
  assert.equal((await fetch(`${pub}/live/calls`)).status, 401);

  const browser = await launchBrowser();
  const page = await openPage(browser, `${pub}/`);
  await page.waitForSelector('#code-form:not([hidden])');
  await page.fill('#code', 'ferry-two-123');
  await page.click('#code-form button');
  await page.waitForSelector('.listener-call', { timeout: 30000 });
  const listed = await page.$$eval('.listener-call', (li) => li.map((x) => ({ id: x.dataset.id, channel: x.dataset.channel, text: x.textContent })));
  assert.ok(listed.some((c) => c.id === String(ofChannel(2).id)), `channel 2's call listed: ${JSON.stringify(listed)}`);
  assert.deepEqual([...new Set(listed.map((c) => c.channel))], ['2']);

  // Play: the call's audio loads and plays in the page.
  await page.click(`.listener-call[data-id="${ofChannel(2).id}"] button`);
  await eventually(async () => page.$eval('#call-player', (a) => a.currentTime > 0.2 && !a.error), 'the call plays', 20000);

  // Channel 1's call by its number: as if it did not exist; channel 2's: there.
  const status = (id) => page.evaluate(async (n) => (await fetch(`/live/calls/audio?id=${n}`)).status, id);
  assert.equal(await status(ofChannel(1).id), 404);
  assert.equal(await status(ofChannel(2).id), 200);
  assert.deepEqual(page.problems.filter((p) => !/40[14]/.test(p)), []);
});
