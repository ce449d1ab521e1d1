// The control panel's jobs and MDI as a person meets them: a real headless Chromium (Debian's),
// driven over the DevTools protocol by puppeteer-core, on `steplink panel --jobs` with the
// example machine on the realtime clock. Pick a program with refusals and see them by line; pick
// example.nc and see its drawing, extents and planned time; run, pause, resume, stop; run from a
// line, shown first and confirmed, with Z up to the safe height before X and Y move; MDI
// `G0 X10` and a refused line. Asserts on what the page shows, and on /state for the table.
// Exit 77 (skipped, with the reason) when Chromium or the node modules are missing.
// Usage: node panel_jobs_test.js RUNNER LIBRARY MACHINE JOBS_DIR FIXTURES_DIR OUTDIR NODE_MODULES_DIR
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');

const [runner, library, machine, jobsDir, fixtures, outdir, modules] = process.argv.slice(2);
const {fail, sleep, loadPuppeteer, startPanel: launchPanel, watchState, quitEndsPanel, finish,
       runTest, launchBrowser} = require('./harness');

const puppeteer = loadPuppeteer(modules);

// The jobs folder the panel serves: the example program and the refused one (copies: the panel
// refuses links).
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'steplink-panel-jobs-'));
const folder = path.join(work, 'jobs');
fs.mkdirSync(folder);
fs.copyFileSync(path.join(jobsDir, 'example.nc'), path.join(folder, 'example.nc'));
fs.copyFileSync(path.join(fixtures, 'refused.nc'), path.join(folder, 'refused.nc'));

function startPanel() {
  return launchPanel(runner, ['--machine', machine, '--jobs', folder, '--realtime',
                             '--library', library, '--view-port', '0']);
}

async function main() {
  fs.mkdirSync(outdir, {recursive: true});
  const panel = startPanel();
  const url = await panel.url;
  const {state, near, until} = watchState(url, {tableArray: false});
  const text = (selector) => page.$eval(selector, (node) => node.textContent);
  const shows = (what, selector, pattern, ms = 15000) => page.waitForFunction(
      (sel, source) => {
        const node = document.querySelector(sel);
        return node && !node.closest('[hidden]') && new RegExp(source).test(node.textContent);
      }, {timeout: ms}, selector, pattern.source)
      .catch(async () => { throw new Error('the page does not show ' + what + ' (' + selector + ': ' +
                                           JSON.stringify(await text(selector).catch(() => null)) + ')'); });
  const disabled = (selector) => page.$eval(selector, (node) => node.disabled);
  const where = (s) => [s.table_mm.x, s.table_mm.y, s.table_mm.z];
  // The table stands still: no call in flight, and the position unchanged for half a second.
  async function standsStill(what) {
    const before = await until(what + ': no call in flight', (s) => !s.moving, 5000);
    await sleep(500);
    const after = await state();
    if (where(after).join() !== where(before).join()) fail(what + ': the table still moves');
    return after;
  }
  // Where one page at a time controls the table, this page takes control (over the page it was
  // before a reload, after the page's own confirm).
  async function takeControl() {
    if (!(await page.$('#take-control'))) return;
    await page.click('#take-control');
    await page.waitForSelector('#take-over-yes', {visible: true, timeout: 1500})
        .then(() => page.click('#take-over-yes'), () => {});
    await page.waitForFunction(() => document.body.dataset.control === 'mine', {timeout: 5000});
  }
  // After a Stop the table is opened again by a new call process; a Home pressed before that
  // has ended is refused (busy), as a person would see and press it again.
  async function home() {
    for (let attempt = 1; ; ++attempt) {
      await page.click('button[data-home=all]');
      const started = await until('homing under way', (s) => s.busy === 'homing' || s.trusted, 3000)
          .then(() => true, () => false);
      if (started) break;
      console.log('home refused: ' + (await text('#message')));
      if (attempt === 5) throw new Error('homing refused five times');
    }
    await until('homing', (s) => s.trusted && s.busy === '' && !s.moving, 40000);
  }

  const browser = await launchBrowser(puppeteer, work, 1800);
  const page = await browser.newPage();
  const pageErrors = [];
  page.on('pageerror', (error) => pageErrors.push(error.message));
  try {
    await page.setViewport({width: 1280, height: 1800});
    await page.goto(url, {waitUntil: 'load', timeout: 15000});
    await until('the table opened', (s) => s.busy === '' && s.jobs_dir !== undefined);
    await takeControl();

    // Every control of the jobs and MDI sections has an accessible name.
    const unnamed = await page.$$eval('.jobs button, .jobs input, .jobs select, #mdi-form *', (nodes) =>
      nodes.filter((node) => ['BUTTON', 'INPUT', 'SELECT'].includes(node.tagName))
          .filter((node) => !(node.getAttribute('aria-label') || (node.labels && node.labels.length) ||
                              (node.tagName === 'BUTTON' && node.textContent.trim())))
          .map((node) => node.id || node.outerHTML.slice(0, 60)));
    if (unnamed.length) fail('controls without an accessible name: ' + unnamed.join(', '));

    // The folder's programs by name; the refused one picked with the keyboard: its refusals by
    // line, and no Run.
    await page.waitForFunction(() => document.querySelectorAll('#job-pick option').length >= 3,
                               {timeout: 10000});
    const names = await page.$$eval('#job-pick option', (nodes) => nodes.map((node) => node.value));
    if (!names.includes('example.nc') || !names.includes('refused.nc')) fail('programs listed: ' + names);
    await page.focus('#job-pick');
    await page.select('#job-pick', 'refused.nc');
    await shows('the refusal at line 5', '#job-refusals', /line 5: .*soft limit/);
    await shows('the unknown code at line 7', '#job-refusals', /line 7: .*G7\.5/);
    await shows('that the program does not check', '#job-check', /refused\.nc does not check/);
    if (!(await disabled('#job-run'))) fail('Run is offered for a program that does not check');
    console.log('refusals: ' + (await text('#job-refusals')));

    // Home, then example.nc: its drawing in mm, its extents against the soft limits and its time.
    await home();
    await page.select('#job-pick', 'example.nc');
    await shows('that example.nc checks', '#job-check', /example\.nc checks/);
    await page.waitForFunction(() => !document.getElementById('job-run').disabled, {timeout: 5000})
        .catch(() => fail('Run is not offered for example.nc, which checks'));
    const drawn = await page.evaluate(() => ({
      paths: document.querySelectorAll('#job-path path').length,
      ticks: [...document.querySelectorAll('#job-grid text.tick')].map((node) => node.textContent),
      limits: document.querySelectorAll('#job-limits rect').length,
    }));
    console.log('drawing: ' + JSON.stringify(drawn));
    if (drawn.paths < 2) fail('the path of example.nc is not drawn');
    if (!drawn.ticks.some((tick) => /^\d+ mm$/.test(tick))) fail('no mm ticks: ' + drawn.ticks);
    if (drawn.limits !== 1) fail('the soft limits are not drawn');
    await shows('the planned time', '#job-planned', /^\d+:\d\d \(\d+\.\d s\)$/);
    await shows('the extents of X', '#ex-x', /0\.000 … 80\.000/);
    await shows('the soft limits of X', '#lim-x', /0\.000 … 300\.000/);
    console.log('planned: ' + (await text('#job-planned')) + '; X ' + (await text('#ex-x')));

    // Run, Pause, Resume, Stop.
    await page.click('#job-run');
    await until('the job running', (s) => s.job && s.job.state === 'running' && s.job.line > 1, 20000);
    await shows('the job running', '#job-now', /example\.nc: running/);
    await shows('the line in progress', '#job-line', /^\d+/);
    await shows('the percent done', '#job-percent', /%$/);
    await shows('the time left', '#job-left', /^\d+:\d\d$/);
    await page.click('#job-pause');
    await until('the pause', (s) => s.job.state === 'paused', 10000);
    await shows('the pause', '#job-now', /paused/);
    const paused = await standsStill('paused');
    if (await disabled('#job-resume')) fail('Resume is not offered while paused');
    await page.click('#job-resume');
    await until('the job moving again', (s) => s.job.state === 'running' &&
                                               where(s).join() !== where(paused).join(), 10000);
    // A reload does not stop the job: the page comes back to it, running, its program picked.
    await page.reload({waitUntil: 'load', timeout: 15000});
    await shows('the job still running after a reload', '#job-now', /example\.nc: running/);
    await shows('the progress after a reload', '#job-percent', /%$/);
    if ((await page.$eval('#job-pick', (node) => node.value)) !== 'example.nc') {
      fail('after a reload the page does not show the running program picked');
    }
    await page.click('#job-stop');
    await until('the stop', (s) => s.job.state === 'stopped' && s.busy === '', 10000);
    await shows('the stop', '#job-now', /stopped/);
    await standsStill('stopped');
    if (!(await disabled('#job-pause'))) fail('Pause is offered after the stop');

    await takeControl();
    // Run from a line: refused while the position is not trusted (after a Stop) ...
    await page.click('#from-line', {clickCount: 3});
    await page.keyboard.type('20');
    await page.click('#from-show');
    await page.click('#from-confirm').catch(() => {});  // hidden when the preview is refused
    await shows('why running from a line is refused', '#message', /trust|homed/i, 5000);
    await sleep(300);
    if ((await state()).job.state === 'running') fail('run from a line ran with an untrusted position');
    // ... then homed: shown, confirmed, Z up to the safe height before X and Y move.
    await home();
    const start = await state();
    await page.click('#from-show');
    await shows('what running from line 20 does', '#from-steps', /safe height/);
    console.log('from line 20: ' + (await page.$$eval('#from-steps li', (nodes) =>
      nodes.map((node) => node.textContent).join(' | '))));
    await shows('the confirm', '#from-confirm', /from line 20/);
    if ((await state()).moving) fail('showing a run from a line moved the table');
    // Line 20 starts where line 19 leaves the table: X 62, Y 45 (work = machine mm here).
    const samples = [];
    await page.click('#from-confirm');
    await shows('the run from line 20', '#job-now', /from line 20/);
    const sampleUntil = Date.now() + 60000;
    for (;;) {
      const s = await state();
      samples.push(where(s));
      if (near(s.work_mm[0], 62, 0.06) && near(s.work_mm[1], 45, 0.06)) break;
      if (['done', 'failed', 'stopped', 'refused'].includes(s.job.state) || Date.now() > sampleUntil) {
        fail('run from line 20 did not reach the start of line 20: ' + JSON.stringify(s.job));
        break;
      }
      await sleep(10);
    }
    // Every sample taken while X or Y travels (left the start, not yet at line 20's start) must
    // have Z at the safe height. The sample just before X/Y left may show Z mid-climb: the climb
    // can end between two samples, so only the travelling samples carry the rule.
    const atStart = (p) => near(p[0], start.table_mm.x) && near(p[1], start.table_mm.y);
    const atLine20 = (p) => near(p[0], 62, 0.06) && near(p[1], 45, 0.06);
    const travelling = samples.filter((p) => !atStart(p) && !atLine20(p));
    const lowestZ = Math.min(...travelling.map((p) => p[2]));
    console.log('run from line 20: ' + travelling.length + ' samples while X/Y travelled, lowest Z ' +
                lowestZ + ' mm, safe height ' + start.safe_z_mm + ' mm');
    if (travelling.length === 0) fail('no sample caught X/Y travelling to line 20\'s start');
    else if (!(lowestZ >= start.safe_z_mm - 0.06)) fail('X or Y moved before Z reached the safe height');
    await page.click('#stop');
    await until('the stop', (s) => s.job.state === 'stopped' && s.busy === '', 10000);

    // MDI, typed and sent with Enter: G0 X10 moves; a refused line says why and moves nothing.
    await home();
    await page.click('#mdi-line');
    await page.keyboard.type('G0 X10');
    await page.keyboard.press('Enter');
    await until('MDI G0 X10', (s) => near(s.work_mm[0], 10) && s.busy === '' && !s.moving, 20000);
    await shows('G0 X10 in the history', '#mdi-history', /G0 X10/);
    const before = where(await state());
    await page.click('#mdi-line');
    await page.keyboard.type('G1 X9999 F100');
    await page.keyboard.press('Enter');
    await shows('the refusal', '#mdi-result', /Refused: .*limit/);
    await shows('the refused line in the history', '#mdi-history li.refused', /G1 X9999/);
    if ((await page.$eval('#mdi-line', (node) => node.value)) !== 'G1 X9999 F100') {
      fail('the refused line is not kept in the field to be mended');
    }
    await sleep(500);
    if (where(await state()).join() !== before.join()) fail('the refused MDI line moved the table');
    await page.screenshot({path: path.join(outdir, 'panel_jobs.png')});
    console.log('screenshot: ' + path.join(outdir, 'panel_jobs.png'));
    if (pageErrors.length) fail('errors in the page: ' + pageErrors.join('; '));

    await quitEndsPanel(page, panel);
  } finally {
    await finish({browser, started: panel, work});
  }
}

runTest(main);
