// The operator exits the server from the page (with confirmation): the page says the server
// stopped. The server is started again with another site name: the page reconnects by itself
// and shows the new state without a reload.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { story, makeRig, startRadios, startServer, launchBrowser, openPage, whenLive, eventually, sel, log } from '../lib/harness.mjs';

story('reconnect', async () => {
  const rig = makeRig({ channels: [true, false, false, false], site: 'Harbour' });
  await startRadios(rig);
  const first = await startServer(rig);
  const browser = await launchBrowser();
  const page = await openPage(browser, `${first.origin}/`);
  await whenLive(page);
  assert.equal(await page.inputValue(sel('Text11(0)')), 'Harbour');

  // File / Exit asks first; Cancel keeps the server running.
  await page.click(sel('mnufile'));
  await page.click(sel('mnu_exit'));
  const confirm = page.locator('dialog.confirm-exit');
  await confirm.getByRole('button', { name: 'Cancel' }).click();
  assert.equal(first.running(), true);

  await page.click(sel('mnufile'));
  await page.click(sel('mnu_exit'));
  await confirm.getByRole('button', { name: 'Exit server' }).click();
  const exit = await first.exited;
  assert.equal(exit.code, 0, `the server exits normally: ${first.err}`);
  await eventually(async () => (await page.getAttribute('body', 'data-connection')) === 'stopped', 'the stopped state');
  assert.match(await page.textContent('#banner'), /server has stopped/);
  log('exit from the page stopped the server');

  // The settings were saved on the way out; change the site name and start again on the same port.
  const hive = path.join(rig.data, 'registry', 'hklm.reg');
  const saved = fs.readFileSync(hive, 'latin1');
  assert.match(saved, /"serverID1"="Harbourx"/);
  fs.writeFileSync(hive, saved.replace('"serverID1"="Harbourx"', '"serverID1"="Lighthousex"'), 'latin1');
  const second = await startServer(rig, { port: first.port });
  await whenLive(page, 30000);
  await eventually(async () => (await page.inputValue(sel('Text11(0)'))) === 'Lighthouse', 'the new site name');
  await eventually(() => page.$eval(sel('comdata(0)'), (e) => e.className.includes('lamp-green')), 'channel 1 live again');
  assert.equal(await page.isVisible('#banner'), false);

  // A dropped stream (the server killed) shows the banner; the page comes back when it is up again.
  await second.stop('SIGKILL');
  await eventually(async () => (await page.getAttribute('body', 'data-connection')) === 'lost', 'the lost state');
  assert.match(await page.textContent('#banner'), /Connection to the server lost/);
  assert.equal(await page.evaluate(() => document.getElementById('main').inert), true, 'stale controls are not usable');
  await startServer(rig, { port: first.port });
  await whenLive(page, 30000);
  log('reconnected after a crash');

  assert.deepEqual(page.problems.filter((p) => !/ERR_CONNECTION_REFUSED|WebSocket/.test(p)), []);
});
