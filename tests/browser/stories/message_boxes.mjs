// Apply on channel 2 for a port with no device: the server's two message boxes appear as
// modal dialogs in order, in every open page (and in a page opened afterwards); OK in one
// page makes the box go in the other.
import assert from 'node:assert/strict';
import { story, makeRig, startRadios, startServer, launchBrowser, openPage, whenLive, eventually, sel, windowJson, log } from '../lib/harness.mjs';

const shownText = (page) => page.evaluate(() => {
  const d = document.querySelector('dialog.msgbox');
  return d?.open ? d.querySelector('.message-text').textContent : null;
});

story('message_boxes', async () => {
  const rig = makeRig({ channels: [true, true, false, false] });
  await startRadios(rig);
  const srv = await startServer(rig);
  const browser = await launchBrowser();
  const a = await openPage(browser, `${srv.origin}/#scanner2`);
  await whenLive(a);

  // Port 8 has no radio: Apply.
  await a.selectOption(sel('Combo5'), { label: '8' });
  await eventually(async () => (await windowJson(srv.origin)).controls.find((c) => c.id === 'Combo5').selection === 7, 'port 8 chosen');
  await a.click(sel('Command1'));
  await eventually(async () => (await shownText(a)) === 'Selected comport not available', 'the first box in page A');

  // A page opened now finds the box waiting.
  const b = await openPage(browser, `${srv.origin}/`);
  await whenLive(b);
  await eventually(async () => (await shownText(b)) === 'Selected comport not available', 'the first box in page B');
  // Modal: the page behind cannot be used while it is open.
  assert.equal(await b.evaluate(() => document.querySelector('dialog.msgbox').matches(':modal')), true);

  // OK in A: the second box follows in A, and B moves on too.
  await a.getByRole('button', { name: 'OK' }).click();
  await eventually(async () => (await shownText(a)) === '8002', 'the second box in page A');
  await eventually(async () => (await shownText(b)) === '8002', 'the second box in page B');

  // OK in B (with the keyboard): both are gone and the server holds no box.
  await b.keyboard.press('Enter');
  await eventually(async () => (await shownText(b)) === null, 'no box in B');
  await eventually(async () => (await shownText(a)) === null, 'no box in A');
  assert.deepEqual((await windowJson(srv.origin)).messages, []);
  log('both boxes acknowledged, in order, across two pages');

  assert.deepEqual(a.problems, []);
  assert.deepEqual(b.problems, []);
});
