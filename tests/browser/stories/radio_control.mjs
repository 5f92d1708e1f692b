// The owner operates a simulated radio from the console's control head: HOLD stops its scan
// (the display says HOLD), SCAN resumes it, Tune shows 156.8000 on the display. A listener's
// page has no keypad and the server refuses a forged command; an operator code limited to
// channel 2 is refused channel 1 but operates channel 2; a second operator reads "operated by"
// and is refused; the owner takes over. A data-port client's command and everybody's commands
// are in the command log, with who did it and the radio's reply.
import assert from 'node:assert/strict';
import { story, makeRig, startRadios, startServer, launchBrowser, openPage, whenLive, eventually, screenshot, dataClient, log } from '../lib/harness.mjs';

const TOKEN = 'harbour-owner-0123456789abcdef';
const AUTH = { headers: { Authorization: `Bearer ${TOKEN}` } };
const display = (page, n) => page.getAttribute(`#page-scanner${n} .radio .lcd`, 'aria-label');

async function signIn(page, origin, code) {
  await page.goto(`${origin}/live`);
  await page.waitForSelector('#code-form:not([hidden])');
  await page.fill('#code', code);
  await page.click('#code-form button');
  await page.waitForSelector('.strip-card', { timeout: 20000 });
}

const forged = (page, channel, body) => page.evaluate(async ([n, b]) => {
  const r = await fetch(`/live/radio/${n}/command`, { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(b) });
  return { status: r.status, ...(await r.json()) };
}, [channel, body]);

story('radio_control', async () => {
  const rig = makeRig();
  const sim = await startRadios(rig);
  sim.send('all auto off');  // the radios scan and stop only when told: what changes is ours
  const config = `[listen]
codes = [
  { label = "Harbour crew", code = "crew-two-2345", channels = [1, 2], control = [2] },
  { label = "Tug", code = "tug-code-6789", channels = [2], control = [2] },
  { label = "Visitors", code = "just-listen-1" },
]
`;
  const srv = await startServer(rig, { config, token: TOKEN });
  const browser = await launchBrowser();

  // The owner: the console (signed in with its token) on channel 1's page.
  const owner = await openPage(browser, `${srv.origin}/#scanner1`);
  await owner.waitForSelector('#signin-form', { state: 'visible' });
  await owner.fill('#token', TOKEN);
  await owner.click('#signin-form button[type=submit]');
  await whenLive(owner);
  const head1 = '#page-scanner1 .control-head';
  await owner.waitForSelector(`${head1}:not([hidden]) [data-key="HOLD"]`);
  await eventually(async () => (await display(owner, 1)).includes('SCAN'), 'channel 1 scanning');
  await owner.click(`${head1} [data-key="HOLD"]`);
  await eventually(async () => (await owner.textContent(`${head1} .control-reply`)) === 'KEY07 → OK', 'the reply to HOLD');
  await eventually(async () => (await display(owner, 1)).includes('HOLD'), 'the display says HOLD');
  assert.match(await owner.textContent(`${head1} .control-holder`), /^You operate this channel since \d\d:\d\d$/);
  await owner.click(`${head1} [data-key="SCAN"]`);
  await eventually(async () => (await display(owner, 1)).includes('SCAN'), 'SCAN resumes');
  await owner.fill(`${head1} input[aria-label="Frequency in MHz"]`, '156.8');
  await owner.selectOption(`${head1} select`, 'FM');
  await owner.click(`${head1} [data-action="tune"] button`);
  await eventually(async () => (await display(owner, 1)).includes('156.8000'), 'the display shows 156.8000');
  assert.equal(await owner.textContent(`${head1} .control-reply`), 'RF01568000 → OK');
  // The keyboard, with the focus on the keypad: s is SCAN.
  await owner.focus(`${head1} [data-key="SCAN"]`);
  await owner.keyboard.press('s');
  await eventually(async () => (await display(owner, 1)).includes('SCAN'), 's is SCAN');
  // The owner's command line: an unknown command shows the radio's ERR.
  await owner.fill(`${head1} input[aria-label="Command to the radio"]`, 'XYZ');
  await owner.click(`${head1} .control-line button`);
  await eventually(async () => (await owner.textContent(`${head1} .control-reply`)) === 'XYZ → ERR', 'ERR shown');
  log('the owner held, resumed and tuned channel 1');
  await screenshot(owner, 'radio-control-owner');

  // A listener: no keypad, and a forged command is refused by the server.
  const visitor = await openPage(browser, null);
  await signIn(visitor, srv.origin, 'just-listen-1');
  await eventually(async () => (await visitor.locator('.control-head[data-may="false"]').count()) === 4, 'the server said: no control');
  assert.equal(await visitor.locator('.control-head:not([hidden])').count(), 0, 'no keypad for a listener');
  const refusedListener = await forged(visitor, 1, { key: 'HOLD' });
  assert.equal(refusedListener.status, 403);
  assert.equal(refusedListener.error, 'listeners may not operate the radio');

  // An operator of channel 2: refused channel 1, operates channel 2.
  const crew = await openPage(browser, null);
  await signIn(crew, srv.origin, 'crew-two-2345');
  const crewHead2 = '.strip-card[data-channel="2"] .control-head';
  await crew.waitForSelector(`${crewHead2}:not([hidden]) [data-key="HOLD"]`);
  assert.equal(await crew.locator('.strip-card[data-channel="1"] .control-head:not([hidden])').count(), 0);
  const refusedOne = await forged(crew, 1, { key: 'HOLD' });
  assert.equal(refusedOne.status, 403);
  assert.equal(refusedOne.error, 'this access code may not operate channel 1');
  const refusedText = await forged(crew, 2, { text: 'KEY07' });
  assert.equal(refusedText.status, 403);
  assert.equal(await crew.locator(`${crewHead2} .control-line:not([hidden])`).count(), 0);
  await crew.click(`${crewHead2} [data-key="HOLD"]`);
  await eventually(async () => (await crew.textContent(`${crewHead2} .control-reply`)) === 'KEY07 → OK', 'the crew held channel 2');
  log('an operator operates its channel only');

  // A second operator sees who operates channel 2 and is refused.
  const tug = await openPage(browser, null);
  await signIn(tug, srv.origin, 'tug-code-6789');
  const tugHead = '.strip-card[data-channel="2"] .control-head';
  await eventually(async () => /^operated by Harbour crew since \d\d:\d\d$/.test(await tug.textContent(`${tugHead} .control-holder`)), 'operated by, for the tug');
  await tug.click(`${tugHead} [data-key="SCAN"]`);
  await eventually(async () => /^channel 2 is operated by Harbour crew since \d\d:\d\d$/.test(await tug.textContent(`${tugHead} .control-reply`)), 'the tug refused');
  await screenshot(tug, 'radio-control-operated-by');

  // The owner takes over channel 2.
  await owner.goto(`${srv.origin}/#scanner2`);
  await whenLive(owner);
  const head2 = '#page-scanner2 .control-head';
  await eventually(async () => /^operated by Harbour crew/.test(await owner.textContent(`${head2} .control-holder`)), 'the owner sees the crew');
  await owner.click(`${head2} button:text("Take over")`);
  await eventually(async () => /^You operate this channel/.test(await owner.textContent(`${head2} .control-holder`)), 'the owner took over');
  await eventually(async () => /^operated by owner since/.test(await crew.textContent(`${crewHead2} .control-holder`)), 'the crew sees the owner');
  const refusedCrew = await forged(crew, 2, { key: 'SCAN' });
  assert.equal(refusedCrew.status, 409);
  log('the owner took over');

  // A data-port client's command goes to the radio as before and into the log.
  await dataClient(rig.dataPort(3), 'KEY07#');
  const log3 = await eventually(async () => {
    const r = await (await fetch(`${srv.origin}/api/commands?channel=3`, AUTH)).json();
    return r.commands.find((c) => c.via === 'data') ?? false;
  }, 'the data-port command in the log');
  assert.equal(log3.who, 'data 127.0.0.1');
  assert.equal(log3.text, 'KEY07');

  // The log: who did what, and what the radio said.
  const all = (await (await fetch(`${srv.origin}/api/commands?limit=100`, AUTH)).json()).commands;
  const find = (who, text) => all.find((c) => c.who === who && c.text === text);
  assert.equal(find('owner', 'KEY07')?.reply, 'OK');
  assert.equal(find('owner', 'RF01568000')?.reply, 'OK');
  assert.equal(find('owner', 'RM FM')?.reply, 'OK');
  assert.equal(find('owner', 'XYZ')?.reply, 'ERR');
  assert.equal(find('operator Harbour crew', 'KEY07')?.channel, 2);
  assert.equal(find('operator Tug', 'KEY01')?.refused, (await tug.textContent(`${tugHead} .control-reply`)));
  assert.ok(all.some((c) => c.who.startsWith('listener') && c.refused === 'listeners may not operate the radio'));
  assert.equal((await fetch(`${srv.origin}/api/commands`)).status, 401);
  const byCrew = (await (await fetch(`${srv.origin}/api/commands?who=crew`, AUTH)).json()).commands;
  assert.ok(byCrew.length >= 3 && byCrew.every((c) => c.who === 'operator Harbour crew'));

  // And on the console's Status page, filtered by who.
  await owner.goto(`${srv.origin}/#status`);
  await whenLive(owner);
  await owner.fill('.command-log input[aria-label="Who"]', 'Tug');
  await eventually(async () => {
    const rows = await owner.$$eval('.command-log tbody tr', (r) => r.map((x) => x.textContent));
    return rows.length > 0 && rows.every((t) => t.includes('operator Tug') && t.includes('refused'));
  }, 'the Status page lists the tug\'s refused command');
  await screenshot(owner, 'radio-control-log');
  const metrics = await (await fetch(`${srv.origin}/metrics`, AUTH)).text();
  assert.match(metrics, /^quillon_radio_commands_total\{channel="1"\} \d+$/m);

  for (const p of [owner, crew, tug, visitor]) assert.deepEqual(p.problems.filter((x) => !/40[139]/.test(x)), []);
});
