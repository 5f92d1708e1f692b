// The operator walks every page with the keyboard alone, on a desktop and on a phone: each
// page passes an accessibility scan and fits the screen. Screenshots are kept as artifacts.
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import fs from 'node:fs';
import { story, makeRig, startRadios, startServer, launchBrowser, openPage, whenLive, eventually, screenshot, sel, log } from '../lib/harness.mjs';

const require = createRequire(import.meta.url);
const axeSource = fs.readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');
const PAGES = ['scanner1', 'scanner2', 'scanner3', 'scanner4', 'status', 'audio'];

async function scan(page) {
  await page.evaluate(axeSource);
  const result = await page.evaluate(() => window.axe.run(document, { resultTypes: ['violations'] }));
  return result.violations
    .filter((v) => v.impact === 'serious' || v.impact === 'critical')
    .map((v) => `${v.id} (${v.impact}): ${v.nodes.slice(0, 3).map((n) => n.target.join(' ')).join(', ')}`);
}

story('tour', async () => {
  const rig = makeRig();
  await startRadios(rig);
  const srv = await startServer(rig);
  const browser = await launchBrowser();

  for (const [width, height] of [[1280, 900], [360, 780]]) {
    const page = await openPage(browser, `${srv.origin}/`, { width, height });
    await whenLive(page);
    await eventually(() => page.$eval(sel('comdata(0)'), (e) => e.className.includes('lamp-green')), 'channel 1 live');

    // Keyboard: focus the first page tab, then arrow through the pages.
    await page.focus(`${sel('SSTab1')} [role=tab][aria-selected=true]`);
    for (const [i, id] of PAGES.entries()) {
      if (i > 0) await page.keyboard.press('ArrowRight');
      const focused = await page.evaluate(() => document.activeElement?.textContent);
      assert.equal(await page.isVisible(`#page-${id}`), true, `page ${id} shown`);
      assert.equal(focused, await page.textContent(`${sel('SSTab1')} [role=tab][aria-selected=true]`));
      const outline = await page.evaluate(() => getComputedStyle(document.activeElement).outlineStyle);
      assert.notEqual(outline, 'none', 'focus is visible');
      const violations = await scan(page);
      assert.deepEqual(violations, [], `accessibility of ${id} at ${width} px`);
      const overflow = await page.evaluate(() => document.documentElement.scrollWidth - document.documentElement.clientWidth);
      assert.ok(overflow <= 0, `${id} at ${width} px is ${overflow} px too wide`);
      await screenshot(page, `${id}-${width}`);
    }
    await page.click('#diag-link');
    assert.deepEqual(await scan(page), [], `accessibility of diagnostics at ${width} px`);
    await screenshot(page, `diagnostics-${width}`);
    assert.deepEqual(page.problems, []);
    log(`pages at ${width} px checked`);
    await page.context().close();
  }

  // Dark scheme follows the system.
  const dark = await openPage(browser, null, { width: 1280, height: 900 });
  await dark.emulateMedia({ colorScheme: 'dark' });
  await dark.goto(`${srv.origin}/#status`);
  await whenLive(dark);
  const bg = await dark.evaluate(() => getComputedStyle(document.body).backgroundColor);
  const [r, g, b] = bg.match(/\d+/g).map(Number);
  assert.ok(r + g + b < 150, `dark background ${bg}`);
  assert.deepEqual(await scan(dark), [], 'accessibility of the dark status page');
  await screenshot(dark, 'status-1280-dark');
});
