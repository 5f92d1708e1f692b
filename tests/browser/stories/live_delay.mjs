// The delay the listeners' page shows is the delay a listener hears. Channel 1 captures a
// simulated radio that is silent until its squelch opens, then sounds a tone; the radio says
// when the tone's first sample left its loudspeaker. The page's player notes when that tone
// reached its output, and the page's shown delay at that moment must agree with the one
// measured from the radio's clock to the player's output within 50 ms. The figure itself is
// not bounded here (bench/live_page measures it).
import assert from 'node:assert/strict';
import { story, makeRig, startRadios, startAudio, startServer, launchBrowser, openPage, eventually, sleep, log } from '../lib/harness.mjs';

story('live_delay', async () => {
  const rig = makeRig({ settings: { audiodevice1: '1' } });
  const sim = await startRadios(rig, { sounding: [1] });
  sim.send('1 auto off');  // silent until told to open
  const env = await startAudio(rig, { radios: true });
  const srv = await startServer(rig, { env });
  const browser = await launchBrowser();
  const page = await openPage(browser, `${srv.origin}/live`);
  const card = '.strip-card[data-channel="1"]';
  await page.waitForSelector(`${card} .listen-btn`, { timeout: 20000 });
  await page.click(`${card} .listen-btn`);
  await eventually(async () => (await page.textContent(`${card} .listen-state`)) === 'Playing live', 'channel 1 playing live', 30000);
  await sleep(1500);  // past the start, in silence

  const heard = () => page.$eval(`${card} audio`, (a) => ({ at: Number(a.dataset.onsetHeardAt ?? 0), shown: Number(a.dataset.onsetShownMs) }));
  const before = await heard();
  const mark = sim.out.length;
  sim.send('1 open 1500 2');
  const sounding = await eventually(() => sim.out.slice(mark).match(/^radio 1: sounding at (\d+)$/m), 'the radio sounding', 5000);
  const at = Number(sounding[1]);
  const tone = await eventually(async () => {
    const h = await heard();
    return h.at > at && h.at !== before.at && h;
  }, 'the tone at the player\'s output', 10000);
  const measured = tone.at - at;
  log(`tone heard ${measured} ms after the radio sounded; the page showed ${tone.shown} ms`);
  assert.ok(Number.isFinite(tone.shown), 'the page showed a delay as the tone played');
  assert.ok(Math.abs(measured - tone.shown) <= 50, `shown ${tone.shown} ms, measured ${measured} ms`);
  assert.deepEqual(page.problems, []);
});
