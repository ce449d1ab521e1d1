// The live view of a G-code job as a person meets it: a real headless Chromium (Debian's), driven
// over the DevTools protocol by puppeteer-core, loads the page of `steplink gcode --view` while
// the job runs on the realtime clock, finds the mm tick labels and the planned path, checks the
// call count against the job report's, takes a screenshot, clicks Stop and sees the job end with
// 130. Exit 77 (skipped, with the reason) when Chromium or the node modules are missing.
// Usage: node gcode_view_test.js RUNNER LIBRARY PROGRAM OUTDIR NODE_MODULES_DIR
'use strict';

const {spawn} = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

const [runner, library, program, outdir, modules] = process.argv.slice(2);
const {fail, loadPuppeteer, finish, runTest, launchBrowser} = require('./harness');

const puppeteer = loadPuppeteer(modules);

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'steplink-browser-'));
const report = path.join(work, 'report.json');

// Starts the job; resolves with the child and the URL it prints on standard error.
function startJob() {
  const child = spawn(runner, ['gcode', program, '--realtime', '--view', '--view-port', '0',
                               '--library', library, '--report', report],
                      {stdio: ['ignore', 'pipe', 'pipe']});
  let out = '';
  let err = '';
  child.stdout.on('data', (chunk) => { out += chunk; });
  const ended = new Promise((resolve) => child.on('exit', (code, signal) => resolve({code, signal})));
  const url = new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('no URL within 10 s: ' + err)), 10000);
    child.stderr.on('data', (chunk) => {
      err += chunk;
      const found = /http:\/\/127\.0\.0\.1:\d+\/\?token=[0-9a-f]+/.exec(err);
      if (found) { clearTimeout(timer); resolve(found[0]); }
    });
    child.on('exit', () => reject(new Error('the job ended before it printed a URL: ' + err)));
  });
  return {child, url, ended, output: () => out + err};
}

async function main() {
  fs.mkdirSync(outdir, {recursive: true});
  const job = startJob();
  const url = await job.url;
  const browser = await launchBrowser(puppeteer, work);
  try {
    const page = await browser.newPage();
    await page.setViewport({width: 1280, height: 1000});
    await page.goto(url, {waitUntil: 'load', timeout: 15000});

    // The planned path, drawn whole from the start, and the mm ticks.
    await page.waitForSelector('#xy-mm:not([hidden]) #plan-path path', {timeout: 10000});
    const ticks = await page.$$eval('#plan-grid text.tick', (nodes) => nodes.map((n) => n.textContent));
    const mmTicks = ticks.filter((text) => /^-?\d+(\.\d+)? mm$/.test(text));
    console.log('tick labels: ' + ticks.join(', '));
    if (mmTicks.length < 4) fail('fewer than 4 tick labels in mm on the X-Y plot');
    const planned = await page.$$eval('#plan-path path', (nodes) => nodes.length);
    const dashed = await page.$$eval('#plan-path path.rapid', (nodes) => nodes.length);
    console.log('planned path: ' + planned + ' runs, ' + dashed + ' of them rapids (dashed)');
    if (dashed < 1) fail('no rapid move drawn apart (dashed) in the planned path');
    if (!(await page.$('#xy-steps[hidden]'))) fail('the plot in steps is still shown for a G-code job');

    // The part done over it, the positions labelled as table and commanded, the calls counted.
    await page.waitForSelector('#done-path path', {timeout: 15000});
    await page.waitForFunction(() => / of \d+\)/.test(document.getElementById('call').textContent),
                               {timeout: 15000});
    const shown = await page.evaluate(() => ({
      call: document.getElementById('call').textContent,
      table: document.getElementById('where-table').textContent,
      commanded: document.getElementById('where-commanded').textContent,
      tableMm: document.getElementById('tmm-x').textContent,
    }));
    console.log('page: ' + JSON.stringify(shown));
    if (!/^table X -?\d+\.\d{3} Y -?\d+\.\d{3} Z -?\d+\.\d{3} mm$/.test(shown.table)) {
      fail('the table position is not labelled in mm');
    }
    if (!/^commanded X /.test(shown.commanded)) fail('the commanded position is not labelled');
    const total = Number(/ of (\d+)\)/.exec(shown.call)[1]);

    // The auxiliary state along the path: the part drawn with the output on (M3 on line 8), and
    // a screenshot with the table well into the drawing.
    await page.waitForSelector('#done-path path.aux-on', {timeout: 30000});
    await page.waitForFunction(
        () => Number(document.getElementById('gcode-line').textContent) >= 11, {timeout: 30000});
    await page.screenshot({path: path.join(outdir, 'live-view-gcode.png')});
    await page.click('#stop');
    const ended = await Promise.race([
      job.ended, new Promise((resolve) => setTimeout(() => resolve(null), 20000))]);
    if (!ended) {
      job.child.kill('SIGKILL');
      fail('the job did not end within 20 s of Stop');
      return;
    }
    console.log('job ended: exit ' + ended.code + (ended.signal ? ' signal ' + ended.signal : ''));
    if (ended.code !== 130) fail('Stop ended the job with ' + ended.code + ', not 130\n' + job.output());
    await page.waitForFunction(
        () => /exit status 130/.test(document.getElementById('status').textContent), {timeout: 5000})
        .catch(() => fail('the page does not say that the job ended with 130'));
    const calls = JSON.parse(fs.readFileSync(report, 'utf8')).calls;
    console.log('report calls: ' + calls + ', page: of ' + total);
    if (calls !== total) fail('the page counts ' + total + ' calls, the report ' + calls);
    console.log('screenshot: ' + path.join(outdir, 'live-view-gcode.png'));
  } finally {
    await finish({browser, started: job, work});
  }
}

runTest(main);
