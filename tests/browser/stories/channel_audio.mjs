// The operator watches each channel's audio level on the strip without listening: the channels
// capturing the simulated radio move above the floor, a channel whose capture device does not
// exist reads "no input" and stays at the floor.
import assert from 'node:assert/strict';
import { story, makeRig, startRadios, startAudio, startServer, launchBrowser, openPage, whenLive, eventually, sleep, screenshot, log } from '../lib/harness.mjs';

const meter = (n) => `.strip-card[data-channel="${n}"] [role="meter"]`;

story('channel_audio', async () => {
  // Channel 4 set to capture device 3, which this machine does not have.
  const rig = makeRig({ settings: { audiodevice4: '4' } });
  await startRadios(rig);
  const env = await startAudio(rig);
  const srv = await startServer(rig, { env });
  const browser = await launchBrowser();
  const page = await openPage(browser, null);
  const levels = [];
  page.on('websocket', (ws) => ws.on('framereceived', (f) => {
    if (typeof f.payload === 'string' && f.payload.startsWith('{"type":"levels"')) levels.push(Date.now());
  }));
  await page.goto(`${srv.origin}/`);
  await whenLive(page);

  const read = (n) => page.$eval(meter(n), (m) => ({
    now: Number(m.getAttribute('aria-valuenow')),
    text: m.querySelector('.meter-text').textContent,
    label: m.getAttribute('aria-label'),
    valuetext: m.getAttribute('aria-valuetext'),
    state: m.dataset.state,
  }));

  // The sine reaches channels 1 to 3: peak and RMS in dBFS, the meter's value is the peak.
  for (const n of [1, 2, 3]) {
    const m = await eventually(async () => {
      const r = await read(n);
      return r.state === 'sound' && r.now > -60 && r;
    }, `the meter of channel ${n} above the floor`, 30000);
    assert.equal(m.label, `Audio level, channel ${n}`);
    assert.match(m.text, /^−?\d+\.\d \/ −?\d+\.\d dBFS$/);
    assert.match(m.valuetext, /^peak -?\d+\.\d dBFS, RMS -?\d+\.\d dBFS$/);
    const [peak, rms] = m.valuetext.match(/-?\d+\.\d/g).map(Number);
    assert.ok(rms <= peak, `RMS ${rms} at most the peak ${peak}`);
  }
  log('channels 1 to 3 show their level');

  // Channel 4 captures nothing: at the floor, and it stays there while the others move.
  for (let i = 0; i < 8; ++i) {
    const m = await read(4);
    assert.equal(m.state, 'stopped', `channel 4 reads ${JSON.stringify(m)}`);
    assert.equal(m.now, -90);
    assert.equal(m.text, 'no input');
    await sleep(250);
  }
  // The levels come a few times a second.
  const since = Date.now();
  await sleep(2000);
  const recent = levels.filter((t) => t >= since).length;
  assert.ok(recent >= 4, `${recent} level events in 2 s`);
  await screenshot(page, 'channel-audio');
  assert.deepEqual(page.problems, []);
  log('channel 4 at the floor');
});
