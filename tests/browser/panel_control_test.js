// One page in control, as two people with two browser pages meet it: a real headless Chromium
// (Debian's) driven by puppeteer-core on `steplink panel` with the example machine on the
// realtime clock. Only the page that took control moves the table (the other's keys and buttons
// are refused and it says why), both can Stop, a take-over is confirmed on the page (no dialog)
// and the page that lost control says so, and closing the controlling page mid-jog leaves the
// table standing, control free for the page that stayed. The time from closing the page to a
// table standing still is printed as a "figure:" line; bounds are generous.
// Exit 77 (skipped, with the reason) when Chromium or the node modules are missing.
// Usage: node panel_control_test.js RUNNER LIBRARY MACHINE OUTDIR NODE_MODULES_DIR
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');

const [runner, library, machine, outdir, modules] = process.argv.slice(2);
const {fail, sleep, loadPuppeteer, startPanel: launchPanel, watchState, quitEndsPanel, finish,
       runTest, launchBrowser} = require('./harness');

const puppeteer = loadPuppeteer(modules);

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'steplink-control-'));

function startPanel() {
  return launchPanel(runner, ['--machine', machine, '--realtime', '--library', library,
                             '--view-port', '0']);
}

async function main() {
  fs.mkdirSync(outdir, {recursive: true});
  const panel = startPanel();
  const url = await panel.url;
  const {state, near, until, stillAfter} = watchState(url);
  const text = (page, id) => page.$eval('#' + id, (node) => node.textContent);
  const controlOf = (page) => page.evaluate(() => document.body.dataset.control);
  async function waitControl(page, what, value) {
    // Polled by time: a tab behind another gets no animation frames.
    await page.waitForFunction((v) => document.body.dataset.control === v,
                               {timeout: 10000, polling: 100}, value)
        .catch(async () => fail(what + ': the page shows control "' + await controlOf(page) + '"'));
  }

  const browser = await launchBrowser(puppeteer, work);
  try {
    const a = await browser.newPage();
    const b = await browser.newPage();
    for (const page of [a, b]) {
      await page.setViewport({width: 1280, height: 1000});
      page.on('dialog', (dialog) => {
        fail('a dialog was opened: ' + dialog.message());
        dialog.dismiss();
      });
      await page.goto(url, {waitUntil: 'load', timeout: 15000});
      await waitControl(page, 'at load', 'none');
    }
    await until('the table opened', (s) => s.busy === '');
    const names = await a.$$eval('#control-bar button', (nodes) => nodes.filter(
        (node) => !(node.getAttribute('aria-label') || node.textContent.trim())).length);
    if (names > 0) fail(names + ' control buttons have no accessible name');

    // Headless Chromium acts only on the tab in front: each step brings its page there first.
    // A takes control; B watches and says so.
    await a.bringToFront();
    await a.click('#take-control');
    await waitControl(a, 'after taking control', 'mine');
    await waitControl(b, 'while A controls', 'other');
    if (!/only watches/.test(await text(b, 'control-state'))) fail('B does not say it only watches');
    // What only the page in control may use is marked so on each page, for eyes and screen readers.
    const marked = (page) => page.$eval('button[data-home=all]', (node) => [
      node.getAttribute('aria-disabled'), node.getAttribute('aria-describedby')].join());
    if (await marked(b) !== 'true,control-state') fail('B\'s Home all is not marked: ' + await marked(b));
    if (await marked(a) !== 'false,') fail('A\'s Home all is marked: ' + await marked(a));
    if (await b.$eval('#stop', (node) => node.getAttribute('aria-disabled')) !== null) {
      fail('Stop is marked on the watching page');
    }
    if (!(await state()).control.other) fail('/state does not say some page controls');

    // B's key and buttons move nothing, and B says why.
    await b.bringToFront();
    await b.focus('#jog');
    await b.keyboard.press('ArrowRight');
    await b.click('button[data-home=all]');
    await sleep(600);
    let s = await state();
    if (s.busy !== '' || s.moving || !s.table_mm.every((mm) => near(mm, 0))) {
      fail('the watching page moved the table: ' + JSON.stringify(s));
    }
    if (!/control/.test(await text(b, 'message'))) fail('B does not say why it was refused');

    // A homes and jogs 10 mm in X.
    await a.bringToFront();
    await a.click('button[data-home=all]');
    await until('homing', (st) => st.trusted && st.busy === '', 30000);
    await a.click('input[name=step][value="10"]');
    await a.focus('#jog');
    await a.keyboard.press('ArrowRight');
    s = await until('A\'s 10 mm step jog', (st) => near(st.table_mm[0], 10) && st.busy === '');

    // B's Stop is taken while A's page homes X.
    await a.click('button[data-home=x]');
    await until('homing X under way', (st) => st.busy !== '', 5000);
    await b.bringToFront();
    await b.click('#stop');
    s = await until('B\'s stop', (st) => !st.trusted && /stopped/.test(st.trusted_reason) &&
                                          st.busy === '', 10000);
    console.log('the watching page stopped the table at X ' + s.table_mm[0]);

    // B takes over: asked on the page itself, then A says it lost control.
    await b.click('#take-control');
    await b.waitForFunction(() => !document.getElementById('take-over').hidden,
                            {timeout: 5000, polling: 100});
    if ((await controlOf(b)) === 'mine') fail('B took control without confirming');
    await b.click('#take-over-yes');
    await waitControl(b, 'after the take-over', 'mine');
    await waitControl(a, 'after losing control', 'other');
    await a.bringToFront();
    await a.waitForFunction(
        () => /another page took control/.test(document.getElementById('control-notice').textContent),
        {timeout: 5000, polling: 100}).catch(() => fail('A does not say another page took control'));
    await a.focus('#jog');
    await a.keyboard.press('ArrowLeft');
    await sleep(500);
    if ((await state()).busy !== '') fail('A moved the table after it lost control');

    // B homes, holds X+ with the mouse, and its page is closed mid-jog.
    await b.bringToFront();
    await b.click('button[data-home=all]');
    await until('B\'s homing', (st) => st.trusted && st.busy === '', 30000);
    await b.click('input[name=mode][value=hold]');
    const plus = await b.$('button[data-axis=x][data-dir="1"]');
    const box = await plus.boundingBox();
    await b.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
    await b.mouse.down();
    await until('B\'s hold-to-jog under way', (st) => st.jogging && st.table_mm[0] > 0.2, 8000);
    const closed = Date.now();
    await b.close();
    const closeMs = await stillAfter(closed);
    console.log('figure: controlling page closed mid-jog to standing still ' + closeMs + ' ms');
    if (!(closeMs < 2500)) fail('after the page closed the table went on for ' + closeMs + ' ms');
    s = await state();
    if (s.jogging) fail('the server still jogs for a closed page');

    // Control is free again (at once, or after the server's timeout): A takes it unasked.
    await until('control free', (st) => !st.control.other, 10000);
    await waitControl(a, 'after the controlling page went away', 'none');
    await a.bringToFront();
    await a.click('#take-control');
    await waitControl(a, 'taking control back', 'mine');
    await quitEndsPanel(a, panel);
  } finally {
    await finish({browser, started: panel, work});
  }
}

runTest(main);
