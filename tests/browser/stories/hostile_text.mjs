// Text from radios and clients is shown as text: a radio display carrying markup and a client
// command carrying a script appear literally, and nothing runs.
import assert from 'node:assert/strict';
import { story, makeRig, startRadios, startServer, launchBrowser, openPage, whenLive, eventually, sel, dataClient } from '../lib/harness.mjs';

const MARKUP = '<img src=x onerror=alert(1)>';
const SCRIPT = '<script>alert(2)</script>';

story('hostile_text', async () => {
  const rig = makeRig({ channels: [true, false, false, false] });
  const sim = await startRadios(rig);
  const srv = await startServer(rig);
  const browser = await launchBrowser();
  const page = await openPage(browser, `${srv.origin}/#scanner1`);
  await whenLive(page);

  sim.send(`1 show ${MARKUP}`);
  const lines = await eventually(async () => {
    const l = await page.$$eval('#page-scanner1 .lcd .lcd-line', (xs) => xs.map((x) => x.textContent));
    return l.join('').startsWith(MARKUP) && l;
  }, 'the markup on the display');
  assert.deepEqual(lines.slice(0, 2), [MARKUP.slice(0, 16), MARKUP.slice(16).padEnd(16)]);
  assert.ok((await page.inputValue(sel('text5(0)'))).includes(MARKUP.slice(0, 16)));
  await eventually(async () => (await page.textContent('.strip-card[data-channel="1"] .strip-lcd')) === MARKUP.slice(0, 16), 'the markup in the strip');

  // A client sends a command holding a script (no final "#", so it stays in the receive
  // buffer): it shows in "Network talk" as text.
  await dataClient(rig.dataPort(1), SCRIPT);
  await page.getByRole('tab', { name: 'Network talk' }).click();
  await eventually(async () => (await page.inputValue(sel('txtoutput(0)'))).includes(SCRIPT), 'the client text in Network talk');

  // Nothing was parsed as markup and nothing ran.
  assert.equal(await page.locator('img').count(), 0);
  assert.equal(await page.locator('main script, #strip script').count(), 0);
  assert.deepEqual(page.problems, []);
});
