// The operator watches each channel's audio level on the strip without listening: the channels
// capturing the simulated radio move above the floor, a channel whose capture device does not
// exist reads "no input" and stays at the floor. Then listens: Listen plays channel 1 in the
// page through the live path (decoded frames keep reaching the worklet, no decoder error, the
// delay behind the radio shown) and Stop ends it on both sides; Listen on the channel without
// audio says so.
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
  log('channel 4 at the floor');

  const card = (n) => `.strip-card[data-channel="${n}"]`;
  const audio = (n) => page.$eval(`${card(n)} audio`, (a) => ({ frames: Number(a.dataset.frames ?? 0), decodeErrors: a.dataset.decodeErrors, paused: a.paused, src: a.getAttribute('src'), stream: a.dataset.stream }));
  const state = (n) => page.textContent(`${card(n)} .listen-state`);
  const listeners = async () => {
    const text = await (await fetch(`${srv.origin}/metrics`)).text();
    const count = (output) => Number(text.match(new RegExp(`^quillon_audio_clients\\{channel="1",output="${output}"\\} (\\d+)$`, 'm'))?.[1]);
    return count('opus') + count('mp3') + count('live');
  };
  assert.equal(await state(1), 'Stopped');
  const clicked = Date.now();
  await page.click(`${card(1)} .listen-btn`);
  assert.equal(await page.getAttribute(`${card(1)} .listen-btn`, 'aria-pressed'), 'true');
  assert.equal(await page.textContent(`${card(1)} .listen-btn`), 'Stop');
  await eventually(async () => (await state(1)) === 'Playing live', 'channel 1 playing', 40000);
  log(`channel 1 playing ${Date.now() - clicked} ms after the click`);
  const start = await audio(1);
  assert.equal(start.stream, '/live/audio/1', 'Chromium takes the live path');
  const playing = await eventually(async () => {
    const a = await audio(1);
    return a.frames > start.frames + 75 && a;
  }, 'frames to keep reaching the worklet', 20000);
  assert.equal(playing.decodeErrors, '0');
  assert.match(await page.textContent(`${card(1)} .listen-delay`), /^\d+\.\d\d s behind$/);
  assert.equal(await listeners(), 1);
  // The Audio page lists who listens through the live path.
  await eventually(async () => (await page.$$eval('#live-listeners tbody td', (t) => t.map((x) => x.textContent))).slice(0, 3).join() === 'operator,127.0.0.1,1',
    'the Audio page listing the listener');
  await screenshot(page, 'channel-audio');
  log(`${playing.frames} frames heard`);

  await page.click(`${card(1)} .listen-btn`);
  assert.equal(await state(1), 'Stopped');
  assert.equal(await page.textContent(`${card(1)} .listen-btn`), 'Listen');
  const stopped = await audio(1);
  assert.equal(stopped.paused, true);
  assert.equal(stopped.src, null);
  await eventually(async () => (await listeners()) === 0, 'the server to lose its listener');
  await eventually(async () => (await page.locator('#live-listeners tbody tr').count()) === 0, 'the Audio page to drop the listener');
  log('stopped');

  // Channel 4 has no audio to play: the error shows as text and the button is ready again.
  await page.click(`${card(4)} .listen-btn`);
  const err = await eventually(async () => ((await state(4)).startsWith('Error:') ? state(4) : null), 'the error of channel 4');
  assert.equal(err, 'Error: channel 4 captures no audio');
  assert.equal(await page.textContent(`${card(4)} .listen-btn`), 'Listen');
  // The browser reports the refused stream on its console; nothing else went wrong.
  assert.deepEqual(page.problems.filter((p) => !/404/.test(p)), []);
});
