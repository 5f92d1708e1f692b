// A console with a token: the page asks for it, refuses a wrong one, and once signed in works
// on its session cookie alone, the event stream included. Scripts still use the bearer token.
import assert from 'node:assert/strict';
import { story, makeRig, startRadios, startServer, launchBrowser, openPage, whenLive, eventually, sel, log } from '../lib/harness.mjs';

const TOKEN = 'harbour-master-0123456789abcdef';

story('sign_in', async () => {
  const rig = makeRig({ channels: [true, false, false, false] });
  await startRadios(rig);
  const srv = await startServer(rig, { token: TOKEN });
  const browser = await launchBrowser();
  const page = await openPage(browser, `${srv.origin}/`);

  // The page itself loads; the window needs the token.
  await page.waitForSelector('#signin-form', { state: 'visible' });
  assert.equal(await page.isVisible('#app'), false);
  assert.equal((await fetch(`${srv.origin}/api/window`)).status, 401);

  // A wrong token is refused, with a reason.
  await page.fill('#token', 'not-the-token-at-all');
  await page.press('#token', 'Enter');
  await eventually(() => page.isVisible('#signin-error'), 'the refusal');
  assert.match(await page.textContent('#signin-error'), /not accepted/);

  // The right one: live, and the model moves over the WebSocket.
  await page.fill('#token', TOKEN);
  await page.click('#signin-form button[type=submit]');
  await whenLive(page);
  const cookies = await page.context().cookies();
  assert.equal(cookies.length, 1, 'one session cookie');
  assert.equal(cookies[0].httpOnly, true);
  assert.equal(cookies[0].sameSite, 'Strict');
  assert.ok(!cookies[0].value.includes(TOKEN), 'the cookie is not the token');
  const events = await page.evaluate(() => new Promise((resolve, reject) => {
    const ws = new WebSocket(`ws://${location.host}/api/events`);
    const got = [];
    ws.onmessage = (m) => {
      got.push(JSON.parse(m.data).type);
      if (got.length >= 3) {
        ws.close();
        resolve(got);
      }
    };
    ws.onerror = () => reject(new Error('the event stream refused the cookie'));
  }));
  assert.equal(events[0], 'snapshot');
  assert.ok(events.slice(1).every((t) => t === 'change' || t === 'levels'), events.join(' '));
  await eventually(() => page.$eval(sel('comdata(0)'), (e) => e.className.includes('lamp-green')), 'live lamps');

  // Actions go through on the cookie.
  await page.fill(sel('Text11(0)'), 'Pier');
  await page.press(sel('Text11(0)'), 'Enter');
  const win = await (await fetch(`${srv.origin}/api/window`, { headers: { Authorization: `Bearer ${TOKEN}` } })).json();
  await eventually(async () => {
    const w = await (await fetch(`${srv.origin}/api/window`, { headers: { Authorization: `Bearer ${TOKEN}` } })).json();
    return w.controls.find((c) => c.id === 'Text11(0)').text === 'Pier';
  }, 'the site name set through the cookie');
  assert.ok(win.controls.length > 0);

  // The cookie alone does not let another site drive the console.
  const [cookie] = cookies;
  const foreign = await fetch(`${srv.origin}/api/action`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json', Cookie: `${cookie.name}=${cookie.value}`, Origin: 'http://127.0.0.1:9' },
    body: JSON.stringify({ action: 'click', control: 'mnu_about' }),
  });
  assert.ok(foreign.status === 401 || foreign.status === 403, `a foreign origin with the cookie got ${foreign.status}`);
  log('signed in on a cookie; foreign origin refused');

  assert.deepEqual(page.problems.filter((p) => !/status of 401/.test(p)), []);
});
